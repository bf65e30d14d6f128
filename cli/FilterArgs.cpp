// SPDX-License-Identifier: Apache-2.0
#include "FilterArgs.h"

#include <cctype>
#include <iostream>

#include "platform/PosixFileSystem.h"
#include "recording/StationFacts.h"
#include "reports/TerminalText.h"
#include "store/db/HistorySchema.h"
#include "store/history/HistoryTime.h"

namespace uvq::cli {

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

std::optional<FilterProblem> ReadFilterArgs(const FilterArgs& args, FilterBounds& bounds) {
  const history::UtcMillis now = recording::NowUtcMillis();
  if (!args.since.empty()) {
    bounds.since = history::ParseTimeBound(args.since, now);
    if (!bounds.since)
      return FilterProblem{ExitCode::Usage, "--since: cannot read the time '" + args.since + "'"};
  }
  if (!args.until.empty()) {
    bounds.until = history::ParseTimeBound(args.until, now, true);
    if (!bounds.until)
      return FilterProblem{ExitCode::Usage, "--until: cannot read the time '" + args.until + "'"};
  }
  if (args.image.empty()) return std::nullopt;
  if (store::LooksLikeSha256(args.image)) {
    bounds.imageSha256OrPath = Lower(args.image);
    return std::nullopt;
  }
  platform::PosixFileSystem files;
  const recording::ImageDigest digest = recording::DigestOfImage(files, args.image);
  if (!digest.problem.empty())
    return FilterProblem{ExitCode::File,
                         "--image " + digest.problem + " (give a readable file or a SHA-256)"};
  bounds.imageSha256OrPath = digest.sha256;
  return std::nullopt;
}

void SayFilterProblem(std::string_view command, const FilterProblem& problem) {
  std::cerr << "uvq: " << command << ": " << reports::Escaped(problem.message) << "\n";
}

}  // namespace uvq::cli

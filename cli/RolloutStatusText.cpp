// SPDX-License-Identifier: Apache-2.0
// `uvq rollout status NAME` and `uvq rollout list`: a table for people, or JSON: the rollout's
// status as one object, the list as one object a rollout (the dashboard's forms).
#include <cstdio>
#include <string>

#include "RolloutRequest.h"
#include "reports/RecordJson.h"
#include "reports/RolloutText.h"
#include "reports/TerminalText.h"

namespace uvq::cli {

namespace {

// Writes `text` and says whether it reached standard output.
int Written(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  return std::fflush(stdout) == 0 ? ToInt(ExitCode::Ok) : ToInt(ExitCode::File);
}

}  // namespace

int ShowRolloutStatus(const RolloutRequest& request, rollouts::RolloutStore& store) {
  const auto status = store.status(request.name);
  if (!status) return RolloutFail(ExitCode::Usage, "no rollout named '" + request.name + "'");
  if (request.options.json)
    return Written(reports::JsonText(reports::RolloutStatusJson(*status)) + "\n");
  return Written(reports::Escaped(reports::RolloutStatusText(*status), true));
}

int ListRollouts(const RolloutRequest& request, rollouts::RolloutStore& store) {
  const std::vector<rollouts::RolloutSummary> rollouts = store.list();
  if (!request.options.json)
    return Written(reports::Escaped(reports::RolloutListText(rollouts), true));
  std::string out;
  for (const rollouts::RolloutSummary& s : rollouts)
    out += reports::JsonText(reports::RolloutSummaryJson(s)) + "\n";
  return Written(out);
}

}  // namespace uvq::cli

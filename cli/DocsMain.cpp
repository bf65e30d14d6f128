// SPDX-License-Identifier: Apache-2.0
// uvq-docs: writes what the build makes from uvq's table of subcommands and options.
//   uvq-docs completion   the bash completion script
//   uvq-docs man          the man page's sections for help2man --include
#include <cstdio>
#include <string>

#include "CommandTable.h"

int main(int argc, char** argv) {
  const std::string what = argc == 2 ? argv[1] : "";
  std::string text;
  if (what == "completion")
    text = uvq::cli::BashCompletionScript();
  else if (what == "man")
    text = uvq::cli::ManPageSections();
  else {
    std::fprintf(stderr, "usage: uvq-docs completion|man\n");
    return 2;
  }
  return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0
             ? 0
             : 1;
}

// SPDX-License-Identifier: Apache-2.0
#include "RolloutOptions.h"

#include <CLI/CLI.hpp>

namespace uvq::cli {

void AddRolloutCommand(CLI::App& app, RolloutWords& words) {
  (void)words;
  CLI::App* rollout = app.add_subcommand(
      "rollout",
      "one image for many units in groups, resumable and shared by stations: rollout "
      "create|run|status|list|pause|resume|cancel|retry");
  rollout->prefix_command();
  rollout->allow_extras();
  rollout->fallthrough(false);
  rollout->set_help_flag();
}

void CollectRolloutCommand(CLI::App& app, RolloutWords& words) {
  CLI::App* rollout = app.get_subcommand("rollout");
  words.command = rollout->parsed();
  if (words.command) words.args = rollout->remaining();
}

}  // namespace uvq::cli

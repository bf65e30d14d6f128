// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <vector>

namespace CLI {
class App;
}  // namespace CLI

namespace uvq::cli {

// `uvq rollout ...`: the words after `rollout`, parsed by the command itself (RolloutCommand).
struct RolloutWords {
  bool command = false;
  std::vector<std::string> args;
};

// Registers the `rollout` subcommand, which takes the rest of the command line as it is.
void AddRolloutCommand(CLI::App& app, RolloutWords& words);
// After parsing: whether `rollout` was the subcommand, and its words.
void CollectRolloutCommand(CLI::App& app, RolloutWords& words);

}  // namespace uvq::cli

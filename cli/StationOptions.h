// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "RolloutOptions.h"

namespace uvq::cli {

// Registers the `station` subcommand, which takes the rest of the command line as it is (parsed
// by StationCommand, as `rollout` is by RolloutCommand).
void AddStationCommand(CLI::App& app);
// After parsing: whether `station` was the subcommand, and its words.
void CollectStationCommand(CLI::App& app, RolloutWords& words);

}  // namespace uvq::cli

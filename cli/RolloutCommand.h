// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "CliOptions.h"

namespace uvq::cli {

// `uvq rollout create|run|status|list|pause|resume|cancel|retry ...`. Returns the exit code.
int RunRolloutCommand(const CliOptions& options);

}  // namespace uvq::cli

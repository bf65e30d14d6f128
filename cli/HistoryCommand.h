// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "CliOptions.h"

namespace uvq::cli {

// `uvq history [units] [filters] [--json|--csv]` and `uvq history --flush`: asks the history
// and prints the rows (newest first) or each unit's latest state. Returns the exit code.
int RunHistoryCommand(const CliOptions& options);

}  // namespace uvq::cli

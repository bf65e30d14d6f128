// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "CliOptions.h"

namespace uvq::cli {

// `uvq station IMAGE --range A-B ...`: the production jig, until SIGINT or SIGTERM. Returns the
// exit code: 0 when every unit it programmed succeeded, else that of the first that failed;
// 130/143 when a unit was being programmed at the signal.
int RunStationCommand(const CliOptions& options);

}  // namespace uvq::cli

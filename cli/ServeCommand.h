// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "CliOptions.h"

namespace uvq::cli {

// `uvq serve [--listen HOST:PORT] [--allow-actions] [--token-file FILE] [--db DB]`: serves the
// web dashboard until SIGINT or SIGTERM. Returns the exit code.
int RunServeCommand(const CliOptions& options);

}  // namespace uvq::cli

// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

namespace uvq::fleet {

// This process's claim token: "HOST:PID:RANDOM". The host and pid tell a station run again
// whether the process that held its old claims is gone; the random part tells two processes
// apart when a pid is used again.
std::string NewClaimToken();

// Whether the process that made `token` is certainly gone: it ran on this host and no uvq
// process has its pid now. A token of another host, or one that cannot be read, is never
// taken for gone: its claims run out with their lease.
bool ClaimTokenHolderGone(const std::string& token);

}  // namespace uvq::fleet

// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <netinet/in.h>

#include <string>
#include <variant>

namespace uvq::link {

// A host name's IPv4 address through the system's resolver, or the resolver's words for why
// there is none. The one look-up every front end uses; whether the address may be sent to is
// UnusableTargetReason's decision.
std::variant<in_addr, std::string> LookUpIpv4(const std::string& host);

}  // namespace uvq::link

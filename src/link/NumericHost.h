// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <netinet/in.h>

#include <optional>
#include <string_view>

namespace uvq::link {

// The targets that need no name look-up: "LOCALHOST" in any letter case (127.0.0.1) and four
// dotted parts in the operator's number forms. Anything else is a host name (nullopt). Whether
// the address may be sent to is the link's decision, not this one's.
std::optional<in_addr> NumericHost(std::string_view host);

}  // namespace uvq::link

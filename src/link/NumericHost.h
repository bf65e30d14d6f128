#pragma once

#include <netinet/in.h>

#include <optional>
#include <string_view>

namespace uvq::link {

// The targets that need no name look-up: "LOCALHOST" in any letter case (127.0.0.1) and an
// address the operator's address rule accepts. Anything else is a host name (nullopt).
std::optional<in_addr> NumericHost(std::string_view host);

}  // namespace uvq::link

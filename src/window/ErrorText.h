// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <string_view>

namespace uvq::window {

// Caption of the application and of every error box.
inline constexpr const char* kApplicationTitle = "Ethernet Bootloader";

// The text an error box shows: the message with a full stop appended, unless its last character
// already is "." or one that sorts before it (a blank, a line break, "!", ",", "-" ...). An empty
// message becomes ".". Bytes are compared as unsigned, so a message ending in a non-ASCII
// character gets its full stop too.
std::string WithFullStop(std::string_view message);

}  // namespace uvq::window

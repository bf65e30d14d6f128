// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <string>

namespace uvq::jobs {

// A status word as a person reads it: "6002 (in loader mode, user code space invalid, Error -
// missing Type 4 record)", the flags in the words and order of the unit's report; "0000 (no
// flags)" when none is set.
std::string StatusInWords(uint16_t status);

// "0100" for 0x0100.
std::string HexWord(uint16_t value);

}  // namespace uvq::jobs

// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <string_view>

namespace uvq::reports {

// Text as it may reach a terminal: control characters (C0, DEL and C1) and bytes that are not
// UTF-8 are written as \xHH, one per byte, so a file name or target can neither move the
// cursor nor change the terminal's state, and a name that is not UTF-8 is shown by its exact
// bytes. Line breaks (and tabs) are kept when `keepLineBreaks`; valid UTF-8 stays as it is.
std::string Escaped(std::string_view text, bool keepLineBreaks = false);

// Length of the valid UTF-8 sequence starting at text[i], or 0 when it is not one.
size_t Utf8SequenceLength(std::string_view text, size_t i);

// Text for a JSON string: valid UTF-8 as it is, each byte that is not UTF-8 as the four
// characters \xHH, so the exact bytes of a name in another encoding can still be read.
std::string Utf8OrHexBytes(std::string_view text);

// JSON text as the library wrote it (UTF-8, control characters below 0x20 escaped) with DEL and
// the C1 controls (U+0080 to U+009F) escaped too, as \u007f and \u0080 to \u009f: the same
// data, and nothing in it a terminal would act on. Those bytes only occur inside strings.
std::string WithoutRawControls(std::string json);

}  // namespace uvq::reports

// SPDX-License-Identifier: Apache-2.0
#pragma once

// A strict reader of INI text for configuration files: `[section]` headers, `key = value`
// lines, `;` and `#` comment lines. Unlike the window's profile lookup (ProfileReader), which
// skips what it does not understand, it reads every line and names the first it cannot read,
// with its line number; what the names mean is the caller's to check.

#include <string>
#include <string_view>
#include <vector>

namespace uvq::settings {

// A header or a `key = value` line, in the order of the text.
struct IniLine {
  int number = 0;       // counted from 1
  bool header = false;  // a `[section]` line: `key` and `value` are empty
  std::string section;  // the section the line is in (a header: its own), blanks trimmed, as
                        // written; "" before the first header
  std::string key;      // lower case, blanks trimmed
  std::string value;    // blanks trimmed; a value enclosed in a pair of " or ' loses them
};

struct IniText {
  std::vector<IniLine> lines;  // up to the first line that could not be read
  // "line 3: expected 'key = value' or '[section]', found 'x'"; empty when every line was read.
  std::string problem;
};

// Lines end in LF or CR LF; blank lines and comments are skipped; a leading UTF-8 byte-order mark
// is ignored. A header without its closing bracket and a line that is neither a header nor holds
// an `=` are problems.
IniText ReadIniText(std::string_view text);

// `text` in lower case (ASCII letters only): how section and key names compare.
std::string LowerAscii(std::string text);

}  // namespace uvq::settings

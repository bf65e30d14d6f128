// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "reports/TerminalText.h"

namespace uvq::cli {

// Text made safe for a terminal: one helper for the whole tree, in the reports layer.
using reports::Escaped;
using reports::Utf8SequenceLength;

}  // namespace uvq::cli

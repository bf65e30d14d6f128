// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>

#include "ports/Ports.h"
#include "protocol/ReplyLayout.h"

namespace uvq::units {

// Writes the report block of one reply: ID, IP address, status word and its flag lines, the two
// sequence numbers and the closing rule. `onLoaderModeLine` runs right after the "in loader mode"
// line, where the capture countdown is reset.
void WriteReportBlock(const protocol::ReplyImage& reply, Log& log,
                      const std::function<void()>& onLoaderModeLine);

// The flag lines alone, in print order.
void WriteStatusFlags(uint16_t status, Log& log, const std::function<void()>& onLoaderModeLine);

}  // namespace uvq::units

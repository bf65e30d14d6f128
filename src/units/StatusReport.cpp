// SPDX-License-Identifier: Apache-2.0
#include "units/StatusReport.h"

#include <string>

#include "protocol/StatusFlags.h"
#include "units/Hex.h"
#include "units/UvqTable.h"

namespace uvq::units {

using namespace protocol;

void WriteStatusFlags(uint16_t status, Log& log, const std::function<void()>& onLoaderModeLine) {
  for (const StatusFlag& flag : kStatusFlagsInPrintOrder) {
    if (!(status & flag.bit)) continue;
    log.addLogLine(flag.text);
    if (flag.bit == Status::kLoaderMode && onLoaderModeLine) onLoaderModeLine();
  }
}

void WriteReportBlock(const ReplyImage& reply, Log& log,
                      const std::function<void()>& onLoaderModeLine) {
  // Every label is 21 characters wide; the value follows directly.
  log.addLogLine("UVQ ID:              " + IdText(ReplyUvqId(reply)));
  log.addLogLine("IP address:          " + IpText(reply));
  log.addLogLine("UVQ Status:          " + HexByte(reply[ReplyOffset::kStatusHigh]) +
                 HexByte(reply[ReplyOffset::kStatusLow]));
  WriteStatusFlags(StatusWord(reply), log, onLoaderModeLine);
  log.addLogLine("Control PDU Seq #:   " + std::to_string(EchoedSequence(reply)));
  log.addLogLine("Data PDU Seq #:      " + HexByte(DataSequence(reply)));
  log.addLogLine("______________________________________");
}

}  // namespace uvq::units

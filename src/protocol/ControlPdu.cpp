// SPDX-License-Identifier: Apache-2.0
#include "protocol/ControlPdu.h"

#include <algorithm>

namespace uvq::protocol {

void PduBuilder::writeHeader(UvqId idOnWire, Command command) {
  buffer_[PduOffset::kLead1] = kLeadByte1;
  buffer_[PduOffset::kLead2] = kLeadByte2;
  buffer_[PduOffset::kUvqIdHigh] = idOnWire.high;
  buffer_[PduOffset::kUvqIdLow] = idOnWire.low;
  buffer_[PduOffset::kSeqHigh] = static_cast<uint8_t>(counter_ >> 8);
  buffer_[PduOffset::kSeqLow] = static_cast<uint8_t>(counter_ & 0xFF);
  lastNumber_ = counter_;
  lastCommand_ = command;
  ++built_;
  ++counter_;  // wraps from 65535 to 0
  buffer_[PduOffset::kCommand] = Code(command);
}

std::span<const uint8_t> PduBuilder::unitCommand(UvqId unit, Command command) {
  addressed_ = unit;
  writeHeader(unit, command);
  return bytes(kHeaderLength);
}

std::span<const uint8_t> PduBuilder::programRecord(UvqId unit, const Record& record) {
  addressed_ = unit;
  writeHeader(unit, Command::ProgramRecord);
  std::copy(record.begin(), record.end(), buffer_.begin() + PduOffset::kPayload);
  return bytes(kHeaderLength + kRecordSize);
}

std::span<const uint8_t> PduBuilder::setIpAddress(UvqId unit,
                                                  const std::optional<Ipv4Bytes>& address) {
  addressed_ = unit;
  writeHeader(unit, Command::SetIpAddress);
  if (!address) return {};
  std::copy(address->begin(), address->end(), buffer_.begin() + PduOffset::kPayload);
  return bytes(kHeaderLength + address->size());
}

std::span<const uint8_t> PduBuilder::capture(const std::optional<UvqId>& unit,
                                             std::span<const uint8_t> accessCode) {
  if (unit) addressed_ = *unit;
  writeHeader(unit.value_or(UvqId{}), Command::Capture);
  const size_t n = std::min(accessCode.size(), kMaxAccessCodeLength);
  std::copy_n(accessCode.begin(), n, buffer_.begin() + PduOffset::kPayload);
  return bytes(kHeaderLength + n);
}

std::span<const uint8_t> PduBuilder::locate() {
  writeHeader(UvqId{}, Command::Locate);
  return bytes(kHeaderLength);
}

}  // namespace uvq::protocol

// SPDX-License-Identifier: Apache-2.0
#include "UnitModel.h"

#include <algorithm>

#include "MemoryMap.h"
#include "RecordCodec.h"
#include "UnitStatus.h"
#include "protocol/PduLayout.h"

namespace uvq::sim {

namespace St = UnitStatus;
using protocol::Command;

namespace {
constexpr uint16_t kRefusingBits = St::kRecordNotWritten;
}  // namespace

UnitModel::UnitModel(const UnitConfig& config)
    : config_(config),
      ip_(config.ip),
      loaderMode_(config.startInLoaderMode),
      data_(kDataSize, ProgramMemory::kErased) {}

uint16_t UnitModel::baseStatus() const {
  uint16_t s = 0;
  if (loaderMode_) s |= St::kLoaderMode;
  if (userCodeInvalid_) s |= St::kUserCodeInvalid;
  return s;
}

UnitAnswer UnitModel::handle(uint8_t command, std::span<const uint8_t> payload,
                             uint16_t injectedBits) {
  switch (static_cast<Command>(command)) {
    case Command::Locate:
      return {true, baseStatus(), false};
    case Command::SetIpAddress:
      return setIp(payload);
    case Command::Capture:
      return capture(payload);
    case Command::InvalidateProgram:
      if (!loaderMode_) return {true, static_cast<uint16_t>(baseStatus() | St::kNotInLoaderMode)};
      userCodeInvalid_ = true;
      return {true, baseStatus(), false};
    case Command::ProgramRecord:
      return programRecord(payload, injectedBits);
    case Command::EraseDevice:
    case Command::EraseProgram:
    case Command::EraseData:
      return erase(static_cast<Command>(command));
    case Command::Reset:
      return reset();
  }
  return {false, 0, false};  // unknown command: a unit stays silent
}

void UnitModel::enterLoaderMode() {
  loaderMode_ = true;
  recordsAccepted_ = 0;
}

// Live reboot rules: a unit already in loader mode always confirms. In application mode a
// capture carrying the configured access code reboots into loader mode, a wrong code is answered
// without the loader bit, and a plain capture enters unless the unit insists on the code.
UnitAnswer UnitModel::capture(std::span<const uint8_t> payload) {
  if (!loaderMode_) {
    const std::string_view code = config_.accessCode;
    bool enter;
    if (code.empty()) {
      enter = true;  // no code configured: the payload is ignored
    } else if (payload.empty()) {
      enter = !config_.captureNeedsCode;
    } else {
      enter = std::equal(payload.begin(), payload.end(), code.begin(), code.end());
    }
    if (enter) enterLoaderMode();
  }
  return {true, baseStatus(), false};
}

UnitAnswer UnitModel::setIp(std::span<const uint8_t> payload) {
  if (payload.size() != 4) {
    return {true, static_cast<uint16_t>(baseStatus() | St::kFrameLengthError), false};
  }
  // Refuse addresses no unit could live at (0.x.x.x, multicast, reserved, broadcast): the
  // reply then carries the unchanged address so the operator sees the change did not happen.
  if (payload[0] != 0 && payload[0] < 224) std::copy(payload.begin(), payload.end(), ip_.begin());
  return {true, baseStatus(), false};
}

UnitAnswer UnitModel::programRecord(std::span<const uint8_t> payload, uint16_t injectedBits) {
  ++recordsReceived_;
  UnitAnswer answer{true, baseStatus(), false};
  if (!loaderMode_) {
    answer.status |= St::kNotInLoaderMode | injectedBits;
    return answer;
  }
  if (payload.size() != protocol::kRecordSize) {
    answer.status |= St::kFrameLengthError | injectedBits;
    return answer;
  }
  const DecodeResult decoded = DecodeRecord(payload.first<protocol::kRecordSize>());
  uint16_t bits = injectedBits;
  switch (decoded.error) {
    case DecodeError::kFraming:
      bits |= St::kFramingError;
      break;
    case DecodeError::kChecksum:
      bits |= St::kChecksumError;
      break;
    case DecodeError::kFrameLength:
      bits |= St::kFrameLengthError;
      break;
    case DecodeError::kNone:
      break;
  }
  const PlainRecord& r = decoded.record;
  if (decoded.error == DecodeError::kNone) {
    switch (r.type) {
      case RecordType::kData:
        if (r.length == 0) {
          bits |= St::kFramingError;
          break;
        }
        switch (RegionOf(r.address, r.length)) {
          case Region::kLoader:
            bits |= St::kOverwriteLoader;
            break;
          case Region::kNone:
            bits |= St::kFramingError;  // addresses nothing on this unit
            break;
          case Region::kProgram:
            if (bits & kRefusingBits) break;
            program_.write(r.address - kProgramBase, {r.data.data(), r.length});
            imageOpen_ = true;
            bits |= St::kRecordDone;
            break;
          case Region::kData:
            if (bits & kRefusingBits) break;
            std::copy_n(r.data.begin(), r.length, data_.begin() + (r.address - kDataBase));
            imageOpen_ = true;
            bits |= St::kRecordDone | St::kEepromUpdated;
            break;
        }
        break;
      case RecordType::kIdentity:
        bits |= St::kRecordSkipped;
        break;
      case RecordType::kEnd:
        if (bits & kRefusingBits) break;
        imageOpen_ = false;
        userCodeInvalid_ = false;
        answer.imageCompleted = true;
        bits |= St::kRecordDone | St::kFileDone;
        break;
      default:
        bits |= St::kUnsupportedRecord;
        break;
    }
  }
  if (!(bits & kRefusingBits)) ++recordsAccepted_;
  answer.status = static_cast<uint16_t>(baseStatus() | bits);
  return answer;
}

UnitAnswer UnitModel::erase(Command command) {
  if (!loaderMode_) return {true, static_cast<uint16_t>(baseStatus() | St::kNotInLoaderMode)};
  if (command == Command::EraseDevice || command == Command::EraseProgram) {
    program_.erase();
    userCodeInvalid_ = true;
    imageOpen_ = false;
  }
  if (command == Command::EraseDevice || command == Command::EraseData) {
    std::fill(data_.begin(), data_.end(), ProgramMemory::kErased);
  }
  return {true, baseStatus(), false};
}

// Reset leaves loader mode, except while an image is half written: starting that code would
// run a partial program, so the unit stays in loader mode and reports the missing end record.
UnitAnswer UnitModel::reset() {
  if (loaderMode_ && imageOpen_) {
    userCodeInvalid_ = true;
    return {true, static_cast<uint16_t>(baseStatus() | St::kMissingType4), false};
  }
  loaderMode_ = false;
  return {true, baseStatus(), false};
}

}  // namespace uvq::sim

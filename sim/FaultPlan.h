// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <random>

namespace uvq::sim {

enum class Garbage { kNone, kOverLong, kZero, kShort };

struct FaultOptions {
  double drop = 0;       // share of replies never sent
  double duplicate = 0;  // share of replies sent twice
  double reorder = 0;    // share of replies held back and sent after the next one
  double wrongSeq = 0;   // share of replies echoing a wrong sequence number
  unsigned delayMs = 0;
  unsigned jitterMs = 0;  // random extra delay, 0..jitterMs
  uint16_t errorBits = 0;
  uint32_t errorRecord = 0;  // 1-based program record number that gets errorBits; 0: none
  bool silent = false;
  Garbage garbage = Garbage::kNone;  // sent just before each reply
  unsigned floodMs = 0;              // also send garbage to the last peer this often
  unsigned eraseDelayMs = 0;
  uint64_t seed = 1;
};

// The fault decisions, drawn from one seeded generator so a run can be repeated exactly.
class FaultPlan {
 public:
  explicit FaultPlan(const FaultOptions& options) : options_(options), rng_(options.seed) {}

  const FaultOptions& options() const { return options_; }
  bool dropReply() { return roll(options_.drop); }
  bool duplicateReply() { return roll(options_.duplicate); }
  bool holdReply() { return roll(options_.reorder); }
  bool corruptSequence() { return roll(options_.wrongSeq); }
  unsigned replyDelayMs();
  uint16_t injectedBits(uint32_t recordNumber) const {
    return recordNumber == options_.errorRecord ? options_.errorBits : 0;
  }
  uint8_t randomByte() { return static_cast<uint8_t>(rng_()); }

 private:
  bool roll(double p);

  FaultOptions options_;
  std::mt19937_64 rng_;
};

}  // namespace uvq::sim

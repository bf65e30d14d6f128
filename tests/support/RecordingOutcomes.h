// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>
#include <vector>

#include "operations/Outcomes.h"

namespace uvq::test {

// Keeps the service's outcomes a test asks about.
struct RecordingOutcomes : LoaderOutcomes {
  std::vector<UnitReport> reports;
  std::vector<SetAsideReply> setAside;
  std::optional<RunResult> run;
  std::optional<CaptureEnd> capture;
  std::optional<EraseEnd> erase;
  std::optional<ResetEnd> reset;
  std::optional<bool> addressAccepted;
  std::vector<NotStarted> notStarted;
  void operationNotStarted(const NotStarted& why) override { notStarted.push_back(why); }
  void unitReported(const UnitReport& r) override { reports.push_back(r); }
  void replySetAside(const SetAsideReply& r) override { setAside.push_back(r); }
  void runEnded(const RunResult& r) override { run = r; }
  void captureEnded(CaptureEnd end) override { capture = end; }
  void eraseEnded(EraseKind, EraseEnd end, uint16_t) override { erase = end; }
  void resetEnded(ResetEnd end, uint16_t) override { reset = end; }
  void addressChangeEnded(bool accepted, protocol::Ipv4Bytes, uint16_t) override {
    addressAccepted = accepted;
  }
};

}  // namespace uvq::test

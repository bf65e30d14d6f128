// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "jobs/JobResult.h"
#include "operations/LoaderService.h"
#include "operations/Outcomes.h"
#include "store/history/HistoryStore.h"

namespace uvq::recording {

// Who records: the same on every row of one front end.
struct RecorderIdentity {
  std::string station;
  std::string osUser;
  std::string frontEnd;  // "window"
  std::string toolVersion;
};

// Turns what the loader service reports into history rows, with the command line's outcome
// identifiers: a programming run (begun when it starts, completed when it ends), a capture
// (from its first request to its end), and an erase, a reset and an address change (written
// when the unit answers, as the service reports no start for them). Rows are written on the
// service's own thread, once per operation, never per record.
//
// A store that fails is reported once through `onFailure`; the service carries on.
class ServiceRecorder final : public LoaderOutcomes {
 public:
  struct Ports {
    history::HistoryStore& store;
    const LoaderService& service;         // read only: the image, its name and the selected unit
    std::function<std::string()> target;  // the address the service sends to now
    std::function<void(const std::string&)> onFailure;
  };
  ServiceRecorder(Ports ports, RecorderIdentity identity);
  ~ServiceRecorder() override;

  void unitReported(const UnitReport& report) override;
  void captureAttempt(int attemptsLeft) override;
  void captureEnded(CaptureEnd end) override;
  void runStarted(int32_t recordCount) override;
  void runEnded(const RunResult& result) override;
  void eraseEnded(EraseKind kind, EraseEnd end, uint16_t status) override;
  void resetEnded(ResetEnd end, uint16_t status) override;
  void addressChangeEnded(bool accepted, protocol::Ipv4Bytes reported, uint16_t status) override;

 private:
  history::OperationRow newRow(const std::string& operation) const;
  void begin(history::OperationRow& row);
  void complete(history::OperationRow& row, jobs::JobOutcome outcome,
                std::optional<uint16_t> status);
  void writtenOnce(history::OperationRow row, jobs::JobOutcome outcome,
                   std::optional<uint16_t> status);
  void noteSpooled();
  void failed(const std::string& line);

  Ports ports_;
  RecorderIdentity identity_;
  std::optional<history::OperationRow> capture_;
  std::optional<history::OperationRow> run_;
  std::optional<UnitReport> lastReport_;  // from the addressed unit
  bool failureReported_ = false;
};

// The outcome the command line gives a programming run that ended this way.
jobs::JobOutcome RunOutcome(const RunResult& result);

}  // namespace uvq::recording

// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fleet/RunLog.h"
#include "fleet/Session.h"
#include "fleet/TargetList.h"
#include "jobs/JobPlan.h"
#include "store/history/HistoryStore.h"
#include "store/history/SpoolingHistoryStore.h"

namespace uvq::fleet {

// The image a run sends, as the history and the run log name it.
struct ImageFacts {
  std::string path;
  int64_t bytes = 0;
  std::string sha256;
};

// What a recorder has to tell whoever runs it; the run goes on either way.
class RecorderEvents {
 public:
  virtual ~RecorderEvents() = default;
  // The database did not take a row and the spool did (the store says so once).
  virtual void spooled(const std::string& notice) = 0;
  // A row neither the database nor the spool took: said once per recorder. Also what opening
  // the history found (spooled rows it could not move yet).
  virtual void historyProblem(const std::string& problem) = 0;
};

// The one row factory of the command line's runs, stations and rollouts: one row per target and
// operation, begun before the first datagram leaves and completed as each target's session ends
// (so a run killed half way leaves its rows "abandoned"), and one sighting per unit that
// answered a locate, status or scan. It also keeps each target's start and end for the run log,
// recording or not. Rows are written once per unit, never per record; a write that fails is
// spooled, and the run goes on.
class RunRecorder {
 public:
  // Without recording (--no-history, `history = off`): times only.
  RunRecorder(std::string station, std::string user);
  RunRecorder(std::unique_ptr<history::SpoolingHistoryStore> store, std::string station,
              std::string user);
  ~RunRecorder();

  void setEvents(RecorderEvents* events) { events_ = events; }
  bool recording() const { return store_ != nullptr; }
  const std::string& station() const { return station_; }
  const std::string& user() const { return user_; }
  // The store, to ask what it knows (nullptr without recording).
  history::SpoolingHistoryStore* store() const { return store_.get(); }

  // A row of this recorder, begun now: a new key, who records, the target and the operation.
  history::OperationRow newRow(const std::string& target, std::string_view operation) const;
  // Writes a row's beginning (its id set); false when neither the database nor the spool took it.
  bool beginRow(history::OperationRow& row);
  // Ends a row begun with beginRow as `result` tells it; false when it could not be written.
  bool completeRow(history::OperationRow& row, const SessionResult& result);

  // Just before the run loop: the start of every target, and its rows.
  void begin(const std::vector<ResolvedTarget>& targets, const jobs::JobPlan& plan,
             const ImageFacts& image);
  // Target `index` has ended with `result`: its rows are completed, its sightings written.
  void ended(size_t index, const SessionResult& result);
  // Target `index`'s session chose unit `unit`: its begun rows name it from now on (one write,
  // not one per record).
  void chosen(size_t index, const std::string& unit);
  // After the run loop: any target not yet ended is ended now.
  void finish(const std::vector<std::unique_ptr<Session>>& sessions);

  // The targets ("10.1.2.3 (unit 0100)") whose result neither the database nor the spool took:
  // a run that could not record them must not pass for one that did.
  std::vector<std::string> unrecorded() const;

  // The run log's times for target `index`.
  void fillLogTimes(size_t index, RunLogEntry& entry) const;

 private:
  struct TargetRows {
    history::UtcMillis startedAt = 0;
    std::optional<history::UtcMillis> endedAt;
    std::optional<history::OperationRow> operation;
    std::optional<history::OperationRow> liveReboot;
    bool lost = false;  // a row of it could not be written, not even to the spool
  };
  void beginAll();
  bool write(history::OperationRow& row, bool complete);
  void noteSpooled();
  void said(const std::string& problem);
  void sightings(const TargetRows& rows, const SessionResult& result);

  std::unique_ptr<history::SpoolingHistoryStore> store_;
  std::string station_;
  std::string user_;
  RecorderEvents* events_ = nullptr;
  jobs::JobKind kind_ = jobs::JobKind::Locate;
  std::string newAddress_;  // set-ip
  std::vector<std::string> addresses_;
  std::vector<TargetRows> targets_;
  bool writeFailureSaid_ = false;
};

// Where and whether runs are recorded.
struct RecordingChoice {
  bool recording = true;
  std::string db;       // empty: the SQLite default
  std::string station;  // empty: the host name
};

// Opens the history the choice names, with failed writes spooled, and moves in what an earlier
// run spooled (a database refusing it now is said through `events` and stops nothing). Without a
// recorder, why the database cannot be used (no password in it).
struct OpenedRecorder {
  std::unique_ptr<RunRecorder> recorder;
  std::string problem;
};
OpenedRecorder OpenRunRecorder(const RecordingChoice& choice, RecorderEvents* events);

// The path made absolute, so the history names the image wherever it is asked from.
std::string AbsolutePath(const std::string& path);

// A row's end as a target's result tells it: when, outcome, the unit and the address it
// reported (when it did), its last status word with the flags in words, and the detail; with
// `figures`, the records, resends and refused records too. Every front end's rows end alike.
void FillEndedRow(history::OperationRow& row, const SessionResult& result,
                  history::UtcMillis endedAt, bool figures = true);

}  // namespace uvq::fleet

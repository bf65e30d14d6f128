// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/db/StoreError.h"

namespace uvq::history {

// Milliseconds since 1970-01-01 UTC.
using UtcMillis = int64_t;

// The outcomes shown for a row begun and not completed (and a filter by outcome may ask for):
// running while the process that began it lives, else abandoned.
inline constexpr std::string_view kRunningOutcome = "running";
inline constexpr std::string_view kAbandonedOutcome = "abandoned";
constexpr bool IsNotEndedOutcome(std::string_view outcome) {
  return outcome == kAbandonedOutcome || outcome == kRunningOutcome;
}

// The words a filter by outcome takes: `ended` (the outcomes rows are completed with), each once
// in the order given, then "abandoned" and "running".
inline std::vector<std::string> OutcomeFilterWords(const std::vector<std::string>& ended) {
  std::vector<std::string> words;
  for (const std::string& word : ended)
    if (std::find(words.begin(), words.end(), word) == words.end()) words.push_back(word);
  words.emplace_back(kAbandonedOutcome);
  words.emplace_back(kRunningOutcome);
  return words;
}

// One operation on one unit (capture, program, erase, reset, set-ip, live reboot), or one sighting
// of a unit (locate, status, scan). A row is begun when the operation starts and completed when it
// ends; a row not completed is shown as "running" while the process that began it lives, and as
// "abandoned" once that process is gone or has not been heard of for a while.
struct OperationRow {
  int64_t id = 0;  // given by the store when the row is begun
  // Unique across stations and processes (a random UUID, see NewRowKey()); begin and complete of
  // the same key make one row whatever their order, so a spooled write moved later never doubles
  // a row nor collides with the ids the database gives. Empty: the store makes one.
  std::string key;
  UtcMillis startedAt = 0;
  std::optional<UtcMillis> endedAt;
  std::string station;  // host name unless overridden
  std::string osUser;
  std::string frontEnd;  // "cli" or "window"
  std::string toolVersion;
  std::string target;           // the address the tool sent to
  std::string unitId;           // "0100"; empty until a unit is known
  std::string reportedAddress;  // the address the unit reports
  std::string operation;        // "program", "erase", "reset", "set-ip", "capture", "live-reboot",
                                // "locate", "status", "scan"
  std::string eraseKind;        // for erase
  std::string imagePath;
  int64_t imageBytes = 0;
  std::string imageSha256;
  int64_t records = 0;
  int64_t resends = 0;
  int64_t refusedRecords = 0;
  std::string outcome;  // the command line's outcome identifiers ("ok", "no_answer", ...);
                        // empty while the operation runs
  std::optional<uint16_t> finalStatus;
  std::string finalFlags;  // the status word's flags decoded, comma separated identifiers
  std::string detail;
  std::string rollout;       // empty outside a rollout
  std::optional<int> group;  // the rollout's group
  // Given by the store, ignored when written: the address of the unit this row belongs to now
  // (where it answered, or where a later set-ip moved it; empty without a unit ID).
  std::string unitAddress;
  // The process that wrote the row (host, process id and a random part); set by the store.
  std::string writer;
  // As read: the row is not completed and its writer was known to live (its liveness mark
  // fresh and, on this host, its process there).
  bool writerAlive = false;
};

// What `uvq history` asks for. Empty fields do not filter. For units(), target matches the unit's
// address, operation/outcome/station its last ones and since/until its last sighting.
struct HistoryFilter {
  std::string unitId;
  std::string target;
  std::string image;  // 64 hexadecimal digits: a SHA-256; anything else: the path as recorded
  // "abandoned" selects the rows never completed whose writer is gone, "running" those whose
  // writer lives (for units(): the units whose last operation is such a row)
  std::string outcome;
  std::string operation;
  std::string station;
  std::string rollout;             // operations only: the attempts of this rollout
  std::optional<UtcMillis> since;  // started at or after
  std::optional<UtcMillis> until;  // started at or before
  int limit = 100;                 // 0 or less: no limit
  int offset = 0;                  // rows skipped first, for pages (with a limit)
  // One unit (with unitId): operations, its rows wherever it was then (before a set-ip too);
  // units(), the unit at this address.
  std::string unitAddress;
};

// A unit's latest known state. A unit is its ID at its address (store/db/UnitIdentity.h): one
// ID reported at several addresses is several units.
struct UnitState {
  std::string unitId;
  std::string address;  // where it answered (the address it reported, else the target)
  UtcMillis lastSeen = 0;
  std::string lastOperation;
  std::string lastOutcome;  // empty: the last operation never ended (abandoned) or still runs
  // As read: the last operation has not ended and its writer lives (the rule of the rows'
  // writerAlive), so it runs.
  bool writerAlive = false;
  std::string lastStation;
  // The image the unit carries: the last programmed with outcome "ok", unless an ok erase of its
  // program memory came after it (then empty).
  std::string lastImagePath;
  std::string lastImageSha256;
  std::optional<UtcMillis> lastProgrammedAt;
};

// Rows counted by their outcome as shown: the outcome identifiers, "running" and "abandoned".
struct OutcomeCount {
  std::string outcome;
  int64_t rows = 0;
};

// The ended rows of a rollout by duration (ended minus started): how many lasted at most each
// bound (cumulative, as the bounds rise), all of them and their total.
struct DurationCounts {
  std::vector<int64_t> boundsMs;
  std::vector<int64_t> atMost;  // one per bound
  int64_t count = 0;
  int64_t sumMs = 0;
};

// Which program attempts figures are drawn from. Empty fields do not filter.
struct FiguresFilter {
  std::string rollout;
  std::string station;
  std::optional<UtcMillis> since;  // started at or after
};

// Units programmed ok by a station in one step of time: [at, at + stepMs).
struct DoneStep {
  std::string station;
  UtcMillis at = 0;
  int64_t units = 0;
};

struct FailureCount {
  std::string outcome;
  std::optional<uint16_t> status;  // the unit's last status word, when it gave one
  int64_t attempts = 0;
};

// What the dashboard draws of the program attempts a filter selects.
struct AttemptFigures {
  // Ok attempts per station and step of time, stations by name, steps in order; at most
  // kMaxSteps steps between the first and the last ok attempt.
  static constexpr int64_t kMaxSteps = 60;
  static constexpr int64_t kMinStepMs = 60'000;
  static constexpr int kMaxFailureKinds = 10;
  int64_t stepMs = kMinStepMs;
  std::vector<DoneStep> done;
  // First attempts: an attempt ended with no earlier program attempt of the same target in the
  // same rollout (outside rollouts: none since filter.since). `firstOk` of them ended ok.
  int64_t firstAttempts = 0;
  int64_t firstOk = 0;
  // Attempts not ok by outcome and status word, most first (at most kMaxFailureKinds).
  std::vector<FailureCount> failures;
};

// The history: rows per operation, never per record. Implementations throw HistoryError when
// the store cannot be used.
class HistoryStore {
 public:
  virtual ~HistoryStore() = default;
  // Writes the row with its start and returns its id.
  virtual int64_t begin(const OperationRow& row) = 0;
  // Begins several rows at once and returns their ids in order: a run on many units begins all
  // its rows before the first datagram, so a store that can writes them with one wait for the
  // disk instead of one each.
  virtual std::vector<int64_t> beginAll(const std::vector<OperationRow>& rows) {
    std::vector<int64_t> ids;
    ids.reserve(rows.size());
    for (const OperationRow& row : rows) ids.push_back(begin(row));
    return ids;
  }
  // Completes the row begun under row.id with its end, outcome and figures.
  virtual void complete(const OperationRow& row) = 0;
  // Newest first.
  virtual std::vector<OperationRow> query(const HistoryFilter& filter) = 0;
  // Each unit's latest state, by ID and address; filter.image restricts to the units that carry
  // that image now (programmed with it, and neither erased nor programmed with another since).
  virtual std::vector<UnitState> units(const HistoryFilter& filter) = 0;
  // Aggregates for the dashboard, each answered by counts in the database (never rows read
  // here). A store that keeps none throws HistoryError.
  virtual std::vector<OutcomeCount> outcomeCounts();
  // The ended rows of `rollout` (not empty) by duration.
  virtual DurationCounts rolloutDurations(const std::string& rollout,
                                          const std::vector<int64_t>& boundsMs);
  virtual AttemptFigures attemptFigures(const FiguresFilter& filter);
  // Where the rows go, fit for any message: a file path or a URL without its password.
  virtual std::string location() const { return {}; }
  // How long the writes and reads from now on wait for a database another process holds locked
  // before they fail (store::kDefaultLockWaitMs unless set).
  virtual void setLockWait(int /*ms*/) {}
};

// A new random row key (UUID version 4 text).
std::string NewRowKey();

}  // namespace uvq::history

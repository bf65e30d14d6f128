#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace uvq::history {

// Milliseconds since 1970-01-01 UTC.
using UtcMillis = int64_t;

// One operation on one unit (capture, program, erase, reset, set-ip, live reboot), or one sighting of
// a unit (locate, status, scan). A row is begun when the operation starts and completed when it
// ends; a row never completed is shown as "abandoned".
struct OperationRow {
  int64_t id = 0;  // given by the store when the row is begun
  UtcMillis startedAt = 0;
  std::optional<UtcMillis> endedAt;
  std::string station;    // host name unless overridden
  std::string osUser;
  std::string frontEnd;   // "cli" or "window"
  std::string toolVersion;
  std::string target;     // the address the tool sent to
  std::string unitId;     // "0100"; empty until a unit is known
  std::string reportedAddress;  // the address the unit reports
  std::string operation;  // "program", "erase", "reset", "set-ip", "capture", "live-reboot",
                          // "locate", "status", "scan"
  std::string eraseKind;  // for erase
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
  std::string rollout;          // empty outside a rollout
  std::optional<int> group;     // the rollout's group
};

// What `uvq history` asks for. Empty fields do not filter.
struct HistoryFilter {
  std::string unitId;
  std::string target;
  std::string image;  // a path or a SHA-256
  std::string outcome;    // includes "abandoned"
  std::string operation;
  std::string station;
  std::optional<UtcMillis> since;
  std::optional<UtcMillis> until;
  int limit = 100;
};

// A unit's latest known state.
struct UnitState {
  std::string unitId;
  std::string address;  // last reported (or target) address
  UtcMillis lastSeen = 0;
  std::string lastOperation;
  std::string lastOutcome;
  std::string lastImagePath;       // last image programmed with outcome "ok"
  std::string lastImageSha256;
  std::optional<UtcMillis> lastProgrammedAt;
};

// The history: rows per operation, never per record. Implementations throw HistoryError when
// the store cannot be used.
class HistoryStore {
 public:
  virtual ~HistoryStore() = default;
  // Writes the row with its start and returns its id.
  virtual int64_t begin(const OperationRow& row) = 0;
  // Completes the row begun under row.id with its end, outcome and figures.
  virtual void complete(const OperationRow& row) = 0;
  // Newest first.
  virtual std::vector<OperationRow> query(const HistoryFilter& filter) = 0;
  // Each unit's latest state; filter.image restricts to units whose last good image is that one.
  virtual std::vector<UnitState> units(const HistoryFilter& filter) = 0;
};

}  // namespace uvq::history

// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <queue>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "CliOptions.h"
#include "Fleet.h"
#include "Output.h"
#include "store/history/SpoolingHistoryStore.h"

namespace uvq::cli {

// A unit as the station knows it: the address it sits at and its ID.
struct StationUnit {
  uint32_t address = 0;  // host order
  std::string unitId;    // "0102"
  auto operator<=>(const StationUnit&) const = default;
};

// The production jig as a feed of the session pool: every address of the range is located at
// most once per `askEveryMs` (round robin, one at a time per address); each unit that answers
// and has not received the image yet (by unit ID and address, from the history and from this
// run) is programmed with --id of that unit, and recorded in the history. An address is not
// asked while one of its units is programmed. A unit that failed is not tried again while it
// stays plugged in: once it no longer answers there, the next time it does is a new try. The
// feed never drains: the station runs until SIGINT or SIGTERM.
class StationRunner final : public SessionFeed {
 public:
  struct Setup {
    std::pair<uint32_t, uint32_t> range;
    int askEveryMs = 2000;
    SessionPlan plan;  // the command line's program plan
    jobs::Image image;
    std::string imageSha256;
    std::string station;
    history::SpoolingHistoryStore* history;  // nullptr: --no-history
    Output& output;                          // the station's own lines and events
    SessionEvents& sessionEvents;
    SharedPorts ports;
  };
  explicit StationRunner(Setup setup);
  ~StationRunner() override;

  // Units that already had the image before this run (read from the history).
  void remember(const std::vector<StationUnit>& units);

  Session* next(size_t freeSlots, TimePoint now) override;
  void ended(Session& session, TimePoint now) override;
  void tick(TimePoint now) override;
  std::optional<TimePoint> nextTick() const override;
  bool drained() const override { return false; }
  void roundDone() override { s_.output.flush(); }
  void setPool(const SessionPool* pool) { pool_ = pool; }

  int ok() const { return ok_; }
  int failed() const { return failed_; }
  int interrupted() const { return interrupted_; }
  // Units plugged in that had the image already (each sighting after an absence).
  int skipped() const { return skipped_; }
  // The exit code of the first unit that failed (Ok when none did).
  ExitCode firstFailure() const { return firstFailure_; }

 private:
  struct Address {
    uint32_t address = 0;
    std::string text;
    int busy = 0;                      // its locate or its units' programs in flight or queued
    std::set<std::string> present;     // the units its last locate found
    std::set<std::string> failedHere;  // failed while plugged in: not tried again until gone
  };
  struct Work {
    size_t address = 0;
    std::string unitId;  // empty: a locate
    std::unique_ptr<Session> session;
    TimePoint startedAt{};
    history::OperationRow row;
  };
  struct Due {
    TimePoint at;
    size_t address;
    bool operator>(const Due& other) const { return at > other.at; }
  };

  Session* startLocate(size_t address, TimePoint now);
  Session* startProgram(size_t address, std::string unitId, TimePoint now);
  void located(Work& work, TimePoint now);
  void programmed(Work& work, TimePoint now);
  void release(size_t address, TimePoint dueAt);
  void beginRow(Work& work);
  void completeRow(Work& work, const SessionResult& result);
  void historyProblem(const std::string& problem);
  void unitLine(const Work& work, const SessionResult& result, double seconds);

  Setup s_;
  const SessionPool* pool_ = nullptr;
  std::vector<Address> addresses_;
  std::priority_queue<Due, std::vector<Due>, std::greater<>> due_;  // idle addresses
  std::deque<std::pair<size_t, std::string>> toProgram_;
  std::unordered_map<const Session*, std::unique_ptr<Work>> flying_;
  std::set<StationUnit> done_;  // have the image: from the history, and programmed now
  bool historySaid_ = false;
  int ok_ = 0, failed_ = 0, interrupted_ = 0, skipped_ = 0;
  ExitCode firstFailure_ = ExitCode::Ok;
};

}  // namespace uvq::cli

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

#include "fleet/RunRecorder.h"
#include "fleet/Session.h"
#include "fleet/SessionPool.h"
#include "store/history/HistoryStore.h"

namespace uvq::fleet {

// A unit as the station knows it: the address it sits at and its ID.
struct StationUnit {
  uint32_t address = 0;  // host order
  std::string unitId;    // "0102"
  auto operator<=>(const StationUnit&) const = default;
};

// The units of the range [first, last] (host order) that carry the image with this SHA-256 now,
// by address and unit ID: programmed with it, and neither erased nor programmed with another
// image since (by any front end). Throws HistoryError when the history cannot answer.
std::vector<StationUnit> UnitsWithImage(history::HistoryStore& store, const std::string& sha256,
                                        std::pair<uint32_t, uint32_t> range);

// What a station tells whoever runs it, on the pool's thread; the history's problems come
// through the recorder's events (RecorderEvents), said by the front end.
class StationEvents {
 public:
  virtual ~StationEvents() = default;
  // A unit plugged in that has the image already: said each time it is plugged in again.
  virtual void unitSkipped(const std::string& address, const std::string& unit) = 0;
  // Programming of a unit found at `address` starts.
  virtual void unitStarted(const std::string& address, const std::string& unit) = 0;
  // It ended with `result`, `seconds` after it started.
  virtual void unitEnded(const std::string& address, const std::string& unit,
                         const SessionResult& result, double seconds) = 0;
  // Once per round of the pool's loop (write out what the round said).
  virtual void roundDone() {}
  // Whether inFlight is wanted: then, every few seconds while units are programmed, the pool's
  // sessions (its locates among them) to say each unit's phase.
  virtual bool showsInFlight() const { return false; }
  virtual void inFlight(TimePoint /*now*/, const SessionPool& /*pool*/) {}
};

// The production jig as a feed of the session pool: every address of the range is located at
// most once per `askEveryMs` (round robin, one at a time per address); each unit that answers
// and has not received the image yet (by unit ID and address, from the history and from this
// run) is programmed on its own, and recorded in the history. An address is not asked while one
// of its units is programmed. A unit that failed is not tried again while it stays plugged in:
// once it no longer answers there, the next time it does is a new try. The feed never drains:
// the station runs until it is asked to stop.
class StationRunner final : public SessionFeed {
 public:
  struct Setup {
    std::pair<uint32_t, uint32_t> range;  // host order
    int askEveryMs = 2000;
    jobs::JobPlan plan;  // the program plan; its kind and unit are set per session
    std::string imageSha256;
    RunRecorder* recorder;  // nullptr, or one that does not record: --no-history
    StationEvents& events;
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
  void roundDone() override { s_.events.roundDone(); }
  void setPool(const SessionPool* pool) { pool_ = pool; }

  int ok() const { return ok_; }
  int failed() const { return failed_; }
  int interrupted() const { return interrupted_; }
  // Units plugged in that had the image already (each sighting after an absence).
  int skipped() const { return skipped_; }
  // How the first unit that failed ended (Ok when none did).
  jobs::JobOutcome firstFailure() const { return firstFailure_; }

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
  bool recording() const { return s_.recorder && s_.recorder->recording(); }
  bool showingInFlight() const;

  Setup s_;
  const SessionPool* pool_ = nullptr;
  std::vector<Address> addresses_;
  std::priority_queue<Due, std::vector<Due>, std::greater<>> due_;  // idle addresses
  std::deque<std::pair<size_t, std::string>> toProgram_;
  std::unordered_map<const Session*, std::unique_ptr<Work>> flying_;
  std::set<StationUnit> done_;  // have the image: from the history, and programmed now
  int ok_ = 0, failed_ = 0, interrupted_ = 0, skipped_ = 0;
  int programsInFlight_ = 0;
  TimePoint nextShown_{};  // the units in flight said next then
  jobs::JobOutcome firstFailure_ = jobs::JobOutcome::Ok;
};

}  // namespace uvq::fleet

// SPDX-License-Identifier: Apache-2.0
#include "store/history/SqlHistoryStore.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "store/db/UnitIdentity.h"
#include "store/history/HistoryQuery.h"

namespace uvq::history {

namespace {

using store::Access;
using store::SqlRow;
using store::StoreErrorKind;

std::optional<int64_t> NumberOrNone(const SqlValue& value) {
  if (value.null()) return std::nullopt;
  return value.asNumber();
}

OperationRow ReadRow(const SqlRow& r) {
  OperationRow row;
  size_t c = 0;
  row.id = r.at(c++).asNumber();
  row.key = r.at(c++).asText();
  row.startedAt = r.at(c++).asNumber();
  row.endedAt = NumberOrNone(r.at(c++));
  row.station = r.at(c++).asText();
  row.osUser = r.at(c++).asText();
  row.frontEnd = r.at(c++).asText();
  row.toolVersion = r.at(c++).asText();
  row.target = r.at(c++).asText();
  row.unitId = r.at(c++).asText();
  row.reportedAddress = r.at(c++).asText();
  row.operation = r.at(c++).asText();
  row.eraseKind = r.at(c++).asText();
  row.imagePath = r.at(c++).asText();
  row.imageBytes = r.at(c++).asNumber();
  row.imageSha256 = r.at(c++).asText();
  row.records = r.at(c++).asNumber();
  row.resends = r.at(c++).asNumber();
  row.refusedRecords = r.at(c++).asNumber();
  row.outcome = r.at(c++).asText();
  if (auto status = NumberOrNone(r.at(c++))) row.finalStatus = static_cast<uint16_t>(*status);
  row.finalFlags = r.at(c++).asText();
  row.detail = r.at(c++).asText();
  row.rollout = r.at(c++).asText();
  if (auto group = NumberOrNone(r.at(c++))) row.group = static_cast<int>(*group);
  row.unitAddress = r.at(c++).asText();
  return row;
}

UtcMillis NowMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "unknown";
  return name;
}

bool ProcessExists(int64_t pid) {
  if (pid <= 0) return false;
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

UnitState ReadUnit(const SqlRow& r) {
  UnitState unit;
  unit.unitId = r.at(0).asText();
  unit.address = r.at(1).asText();
  unit.lastSeen = r.at(2).asNumber();
  unit.lastOperation = r.at(3).asText();
  unit.lastOutcome = r.at(4).asText();
  unit.lastStation = r.at(5).asText();
  unit.lastImagePath = r.at(6).asText();
  unit.lastImageSha256 = r.at(7).asText();
  unit.lastProgrammedAt = NumberOrNone(r.at(8));
  return unit;
}

}  // namespace

SqlHistoryStore::SqlHistoryStore(std::shared_ptr<store::SqlConnection> connection)
    : connection_(std::move(connection)),
      host_(HostName()),
      pid_(::getpid()),
      writer_(host_ + ":" + std::to_string(pid_) + ":" + NewRowKey().substr(0, 8)) {}

SqlHistoryStore::~SqlHistoryStore() {
  int64_t open = 0;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    open = openRows_;
  }
  wake_.notify_all();
  if (refresher_.joinable()) refresher_.join();
  // Rows begun here and never completed will not be: they are abandoned from now on.
  if (open > 0) {
    try {
      connection_->transaction("history", Access::Write, StoreErrorKind::WriteFailed, [&] {
        connection_->run(WriterRefreshSql(), {int64_t{0}, writer_});
        return 0;
      });
    } catch (const std::exception&) {
      // The mark runs out by itself.
    }
  }
}

// While rows are open, the mark is refreshed every few seconds. A refresh that fails (the
// database busy or away) is left: the next one tries again, and a mark that ran out only shows
// the rows as abandoned until then.
void SqlHistoryStore::Refresh() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait_for(lock, std::chrono::milliseconds(kRefreshEveryMs), [&] { return stopping_; });
    if (stopping_) return;
    if (openRows_ == 0) continue;
    lock.unlock();
    try {
      connection_->transaction("history", Access::Write, StoreErrorKind::WriteFailed, [&] {
        connection_->run(WriterRefreshSql(), {NowMillis() + kMarkHoldsMs, writer_});
        return 0;
      });
    } catch (const std::exception&) {
      // Tried again at the next turn.
    }
    lock.lock();
  }
}

std::vector<int64_t> SqlHistoryStore::Write(const std::vector<OperationRow>& given,
                                            bool completed) {
  // Keys are made once, before any try, so that a second try writes the same rows.
  std::vector<OperationRow> rows = given;
  for (OperationRow& row : rows) {
    if (!completed && row.key.empty()) row.key = NewRowKey();
    row.writer = writer_;
  }
  const UtcMillis markUntil = NowMillis() + kMarkHoldsMs;
  // A completion counts as done here even when it failed: it went elsewhere (the spool), and
  // this writer no longer holds the row open.
  struct Completed {
    SqlHistoryStore& store;
    size_t count;
    bool completed;
    ~Completed() {
      if (!completed) return;
      std::lock_guard lock(store.mutex_);
      store.openRows_ = std::max<int64_t>(0, store.openRows_ - static_cast<int64_t>(count));
    }
  } completedGuard{*this, rows.size(), completed};
  const Dialect dialect = connection_->dialect();
  store::SqlConnection& db = *connection_;
  std::vector<int64_t> written = db.transaction(
      "history", completed ? Access::Write : Access::DurableWrite, StoreErrorKind::WriteFailed,
      [&] {
        // One mark for all the rows begun here.
        if (!completed) db.run(WriterMarkSql(), {writer_, host_, pid_, markUntil});
        std::vector<int64_t> ids;
        ids.reserve(rows.size());
        for (const OperationRow& row : rows) {
          int64_t id = row.id;
          // The unit this row belongs to: where it answered, carried by the moves recorded
          // after it (a row that arrives late from the spool lands at the unit's address now).
          std::string unitAddress = store::AnsweredAddress(row.target, row.reportedAddress);
          const bool move =
              !row.unitId.empty() && store::IsUnitMove(row.operation, row.outcome, completed,
                                                       row.target, row.reportedAddress);
          if (!row.unitId.empty() && !move)
            unitAddress = store::CarriedAddress(
                unitAddress, completed ? row.endedAt.value_or(row.startedAt) : row.startedAt,
                store::ReadUnitMoves(db.run(store::UnitMovesSql(), {row.unitId})));
          std::vector<SqlValue> values = OperationValues(row, unitAddress);
          if (completed && row.key.empty()) {
            // Begun without a key (elsewhere): only its id finds it.
            values.erase(values.begin(), values.begin() + 2);
            values.push_back(row.id);
            if (db.run(CompleteByIdSql(), values).changed != 1)
              throw store::StoreError(StoreErrorKind::WriteFailed,
                                      "history " + db.description() + ": no row " +
                                          std::to_string(row.id) + " to complete");
          } else {
            const auto written = db.run(completed ? CompleteSql() : BeginSql(), values);
            if (written.rows.empty())
              throw store::StoreError(StoreErrorKind::WriteFailed,
                                      "history " + db.description() + ": a row was not written");
            id = written.rows.front().at(0).asNumber();
          }
          // A move may carry rows written before it (and the units they made) to the new
          // address: that ID's rows are placed again. Moves are rare; other writes only update
          // their unit.
          if (move)
            store::PlaceUnitRows(db, row.unitId);
          else if (!row.unitId.empty())
            db.run(UnitUpsertSql(dialect), UnitValues(row, unitAddress, completed));
          ids.push_back(id);
        }
        return ids;
      });
  if (!completed) {
    std::lock_guard lock(mutex_);
    openRows_ += static_cast<int64_t>(rows.size());
    if (!refresher_.joinable()) refresher_ = std::thread([this] { Refresh(); });
  }
  return written;
}

int64_t SqlHistoryStore::begin(const OperationRow& row) {
  return Write({row}, false).front();
}

std::vector<int64_t> SqlHistoryStore::beginAll(const std::vector<OperationRow>& rows) {
  if (rows.empty()) return {};
  return Write(rows, false);
}

void SqlHistoryStore::complete(const OperationRow& row) {
  Write({row}, true);
}

std::vector<OperationRow> SqlHistoryStore::query(const HistoryFilter& filter) {
  const UtcMillis now = NowMillis();
  const SqlStatement query = OperationsQuery(filter);
  std::vector<OperationRow> rows =
      connection_->transaction("history", Access::Read, StoreErrorKind::ReadFailed, [&] {
        std::vector<OperationRow> read;
        for (const SqlRow& r : connection_->run(query.sql, query.params).rows) {
          OperationRow row = ReadRow(r);
          size_t c = kOperationColumnCount;
          row.writer = r.at(c++).asText();
          const std::optional<int64_t> aliveUntil = NumberOrNone(r.at(c++));
          const std::string host = r.at(c++).asText();
          const std::optional<int64_t> pid = NumberOrNone(r.at(c++));
          // On this host a writer's process is asked too: one killed is gone at once.
          row.writerAlive =
              !row.endedAt && row.outcome.empty() && WriterLives(aliveUntil, host, pid, now);
          read.push_back(std::move(row));
        }
        return read;
      });
  // Rows not completed: running or abandoned as judged above, then paged.
  if (filter.outcome == "running" || filter.outcome == "abandoned") {
    const bool running = filter.outcome == "running";
    std::erase_if(rows, [&](const OperationRow& row) { return row.writerAlive != running; });
    if (filter.limit > 0) {
      const size_t from = std::min(rows.size(), static_cast<size_t>(std::max(filter.offset, 0)));
      rows.erase(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(from));
      if (rows.size() > static_cast<size_t>(filter.limit)) rows.resize(filter.limit);
    }
  }
  return rows;
}

bool SqlHistoryStore::WriterLives(std::optional<int64_t> aliveUntil, const std::string& host,
                                  std::optional<int64_t> pid, UtcMillis now) const {
  return aliveUntil && *aliveUntil >= now && (host != host_ || ProcessExists(pid.value_or(0)));
}

std::vector<UnitState> SqlHistoryStore::units(const HistoryFilter& filter) {
  const SqlStatement query = UnitsQuery(filter);
  return connection_->transaction("history", Access::Read, StoreErrorKind::ReadFailed, [&] {
    std::vector<UnitState> units;
    for (const SqlRow& row : connection_->run(query.sql, query.params).rows)
      units.push_back(ReadUnit(row));
    return units;
  });
}

}  // namespace uvq::history

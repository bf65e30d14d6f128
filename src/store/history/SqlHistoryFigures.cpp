// SPDX-License-Identifier: Apache-2.0
// The history's aggregates for the dashboard: counts made by the database over what its indexes
// select (a rollout's rows, a station's since a time, the rows by outcome), never rows read here.
#include <algorithm>
#include <chrono>

#include "store/history/SqlHistoryStore.h"

namespace uvq::history {

namespace {

using store::Access;
using store::SqlRow;
using store::SqlValue;
using store::StoreErrorKind;

UtcMillis NowMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::optional<int64_t> NumberOrNone(const SqlValue& value) {
  if (value.null()) return std::nullopt;
  return value.asNumber();
}

// The program attempts a filter selects, as " WHERE ..." on `table`'s alias, values as
// parameters appended to `params`.
std::string AttemptsWhere(const FiguresFilter& filter, const std::string& alias,
                          std::vector<SqlValue>& params) {
  std::string sql = " WHERE " + alias + ".operation = 'program'";
  const auto clause = [&](const std::string& head, SqlValue value) {
    params.push_back(std::move(value));
    sql += " AND " + alias + "." + head + store::Placeholder(params.size());
  };
  if (!filter.rollout.empty()) clause("rollout = ", filter.rollout);
  if (!filter.station.empty()) clause("station = ", filter.station);
  if (filter.since) clause("started_at >= ", *filter.since);
  return sql;
}

}  // namespace

std::vector<OutcomeCount> HistoryStore::outcomeCounts() {
  throw HistoryError(HistoryErrorKind::ReadFailed, "this history keeps no counts");
}
DurationCounts HistoryStore::rolloutDurations(const std::string&, const std::vector<int64_t>&) {
  throw HistoryError(HistoryErrorKind::ReadFailed, "this history keeps no counts");
}
AttemptFigures HistoryStore::attemptFigures(const FiguresFilter&) {
  throw HistoryError(HistoryErrorKind::ReadFailed, "this history keeps no counts");
}

std::vector<OutcomeCount> SqlHistoryStore::outcomeCounts() {
  const UtcMillis now = NowMillis();
  return connection_->transaction("history", Access::Read, StoreErrorKind::ReadFailed, [&] {
    std::vector<OutcomeCount> counts;
    for (const SqlRow& r : connection_
                               ->run("SELECT outcome, count(*) FROM operations WHERE outcome IS "
                                     "NOT NULL GROUP BY outcome ORDER BY outcome")
                               .rows)
      counts.push_back({r.at(0).asText(), r.at(1).asNumber()});
    // Rows not completed, by writer: running while it lives, else abandoned.
    OutcomeCount running{"running", 0};
    OutcomeCount abandoned{"abandoned", 0};
    for (const SqlRow& r :
         connection_
             ->run("SELECT writers.alive_until, writers.host, writers.pid, count(*) FROM "
                   "operations LEFT JOIN writers ON writers.writer = operations.writer WHERE "
                   "operations.outcome IS NULL GROUP BY operations.writer, writers.alive_until, "
                   "writers.host, writers.pid")
             .rows) {
      const bool lives =
          WriterLives(NumberOrNone(r.at(0)), r.at(1).asText(), NumberOrNone(r.at(2)), now);
      (lives ? running : abandoned).rows += r.at(3).asNumber();
    }
    for (OutcomeCount* open : {&abandoned, &running})
      if (open->rows > 0) counts.push_back(*open);
    return counts;
  });
}

DurationCounts SqlHistoryStore::rolloutDurations(const std::string& rollout,
                                                 const std::vector<int64_t>& boundsMs) {
  if (rollout.empty())
    throw HistoryError(HistoryErrorKind::ReadFailed, "durations are counted per rollout");
  std::vector<SqlValue> params{rollout};
  std::string sql = "SELECT count(*), coalesce(sum(ended_at - started_at), 0)";
  for (int64_t bound : boundsMs) {
    params.push_back(bound);
    sql +=
        ", coalesce(sum(CASE WHEN ended_at - started_at <= " + store::Placeholder(params.size()) +
        " THEN 1 ELSE 0 END), 0)";
  }
  sql += " FROM operations WHERE rollout = $1 AND ended_at IS NOT NULL";
  return connection_->transaction("history", Access::Read, StoreErrorKind::ReadFailed, [&] {
    DurationCounts counts;
    counts.boundsMs = boundsMs;
    const auto rows = connection_->run(sql, params).rows;
    if (rows.empty()) return counts;
    const SqlRow& r = rows.front();
    counts.count = r.at(0).asNumber();
    counts.sumMs = r.at(1).asNumber();
    for (size_t i = 0; i < boundsMs.size(); ++i) counts.atMost.push_back(r.at(2 + i).asNumber());
    return counts;
  });
}

AttemptFigures SqlHistoryStore::attemptFigures(const FiguresFilter& filter) {
  return connection_->transaction("history", Access::Read, StoreErrorKind::ReadFailed, [&] {
    AttemptFigures figures;
    store::SqlConnection& db = *connection_;

    // Ok attempts per station and step: the step grows with the span, so the steps stay few.
    std::vector<SqlValue> params;
    const std::string okWhere =
        AttemptsWhere(filter, "o", params) + " AND o.outcome = 'ok' AND o.ended_at IS NOT NULL";
    const auto span =
        db.run("SELECT min(o.ended_at), max(o.ended_at) FROM operations o" + okWhere, params).rows;
    if (!span.empty() && !span.front().at(0).null()) {
      const int64_t first = span.front().at(0).asNumber();
      const int64_t last = span.front().at(1).asNumber();
      const int64_t stepMs = std::max<int64_t>(AttemptFigures::kMinStepMs,
                                               (last - first) / AttemptFigures::kMaxSteps + 1);
      // Whole steps, so that the same attempts fall in the same steps from one answer to the next.
      figures.stepMs = (stepMs + AttemptFigures::kMinStepMs - 1) / AttemptFigures::kMinStepMs *
                       AttemptFigures::kMinStepMs;
      const int64_t origin = first / figures.stepMs * figures.stepMs;
      std::vector<SqlValue> stepParams = params;
      stepParams.push_back(origin);
      const std::string originAt = store::Placeholder(stepParams.size());
      stepParams.push_back(figures.stepMs);
      const std::string stepAt = store::Placeholder(stepParams.size());
      for (const SqlRow& r : db.run("SELECT o.station, (o.ended_at - " + originAt + ") / " +
                                        stepAt + " AS step, count(*) FROM operations o" + okWhere +
                                        " GROUP BY o.station, step ORDER BY o.station, step",
                                    stepParams)
                                 .rows)
        figures.done.push_back(
            {r.at(0).asText(), origin + r.at(1).asNumber() * figures.stepMs, r.at(2).asNumber()});
    }

    // First attempts: no earlier program attempt of the same target in the same rollout.
    params.clear();
    std::string first =
        "SELECT count(*), coalesce(sum(CASE WHEN o.outcome = 'ok' THEN 1 ELSE 0 "
        "END), 0) FROM operations o" +
        AttemptsWhere(filter, "o", params) +
        " AND o.outcome IS NOT NULL AND NOT EXISTS (SELECT 1 FROM operations e "
        "WHERE e.target = o.target AND e.rollout = o.rollout AND e.operation = "
        "'program' AND (e.started_at < o.started_at OR (e.started_at = "
        "o.started_at AND e.id < o.id))";
    if (filter.since) {
      params.push_back(*filter.since);
      first +=
          " AND (o.rollout <> '' OR e.started_at >= " + store::Placeholder(params.size()) + ")";
    }
    first += ")";
    if (const auto rows = db.run(first, params).rows; !rows.empty()) {
      figures.firstAttempts = rows.front().at(0).asNumber();
      figures.firstOk = rows.front().at(1).asNumber();
    }

    // Failures by outcome and status word, most first.
    params.clear();
    std::string failures =
        "SELECT o.outcome, o.final_status, count(*) AS attempts FROM operations o" +
        AttemptsWhere(filter, "o", params) +
        " AND o.outcome IS NOT NULL AND o.outcome <> 'ok' GROUP BY o.outcome, "
        "o.final_status ORDER BY attempts DESC, o.outcome, o.final_status";
    params.push_back(int64_t{AttemptFigures::kMaxFailureKinds});
    failures += " LIMIT " + store::Placeholder(params.size());
    for (const SqlRow& r : db.run(failures, params).rows) {
      FailureCount count{r.at(0).asText(), std::nullopt, r.at(2).asNumber()};
      if (!r.at(1).null()) count.status = static_cast<uint16_t>(r.at(1).asNumber());
      figures.failures.push_back(std::move(count));
    }
    return figures;
  });
}

}  // namespace uvq::history

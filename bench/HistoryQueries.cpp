// SPDX-License-Identifier: Apache-2.0
// The history's queries on a large SQLite history: fills ROWS operations over UNITS units (bulk,
// in one transaction, as a long-used station would have them), then times through the store what
// `uvq history` asks: one unit's rows, the units view, an image's units, the abandoned rows.
//   uvq-bench-history [ROWS] [UNITS]      (default 1000000 and 1000; a temporary folder, removed)
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "store/db/HistorySchema.h"
#include "store/db/SqliteConnection.h"
#include "store/history/SqlHistoryStore.h"

using namespace uvq::history;
using uvq::store::RebuildUnitsSql;
using uvq::store::SqliteConnection;
using Clock = std::chrono::steady_clock;

namespace {

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

void Check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "%s: %s\n", what, sqlite3_errmsg(db));
    std::exit(1);
  }
}

void Fill(const std::string& path, int rows, int units, const std::string& shaA,
          const std::string& shaB) {
  sqlite3* db = nullptr;
  Check(sqlite3_open(path.c_str(), &db), db, "open");
  Check(sqlite3_exec(db, "PRAGMA synchronous=OFF; PRAGMA cache_size=-400000; BEGIN", nullptr,
                     nullptr, nullptr),
        db, "begin");
  sqlite3_stmt* insert = nullptr;
  Check(
      sqlite3_prepare_v2(db,
                         "INSERT INTO operations(row_key, started_at, ended_at, station, os_user, "
                         "front_end, tool_version, target, unit_id, operation, image_path, "
                         "image_bytes, image_sha256, records, outcome) VALUES(?1, ?2, ?3, ?4, "
                         "'bench', 'cli', '1.0.0', ?5, ?6, ?7, ?8, 32768, ?9, 2049, ?10)",
                         -1, &insert, nullptr),
      db, "prepare");
  const char* operations[] = {"program", "locate", "status", "reset", "erase"};
  const char* outcomes[] = {"ok", "ok", "ok", "no_answer", "unit_error", "ok", "ok", "ok"};
  char text[64];
  for (int i = 0; i < rows; ++i) {
    const int unit = i % units;
    const std::string key = "bench-" + std::to_string(i);
    sqlite3_bind_text(insert, 1, key.c_str(), -1, SQLITE_TRANSIENT);
    const int64_t start = 1700000000000LL + int64_t{i} * 1000;
    sqlite3_bind_int64(insert, 2, start);
    if (i % 1000 == 999)
      sqlite3_bind_null(insert, 3);  // abandoned now and then
    else
      sqlite3_bind_int64(insert, 3, start + 700);
    std::snprintf(text, sizeof text, "station-%d", i % 4);
    sqlite3_bind_text(insert, 4, text, -1, SQLITE_TRANSIENT);
    std::snprintf(text, sizeof text, "127.0.%d.%d", unit / 250, unit % 250 + 1);
    sqlite3_bind_text(insert, 5, text, -1, SQLITE_TRANSIENT);
    std::snprintf(text, sizeof text, "%04d", unit);
    sqlite3_bind_text(insert, 6, text, -1, SQLITE_TRANSIENT);
    const char* operation = operations[(i / units) % 5];
    sqlite3_bind_text(insert, 7, operation, -1, SQLITE_STATIC);
    const bool image = std::string(operation) == "program";
    const bool newer = i > rows / 2;
    sqlite3_bind_text(insert, 8, image ? (newer ? "/img/b.cry" : "/img/a.cry") : "", -1,
                      SQLITE_STATIC);
    sqlite3_bind_text(insert, 9, image ? (newer ? shaB.c_str() : shaA.c_str()) : "", -1,
                      SQLITE_STATIC);
    if (i % 1000 == 999)
      sqlite3_bind_null(insert, 10);
    else
      sqlite3_bind_text(insert, 10, outcomes[i % 8], -1, SQLITE_STATIC);
    Check(sqlite3_step(insert), db, "insert");
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  const std::string units_sql = "DELETE FROM units; " + RebuildUnitsSql();
  Check(sqlite3_exec(db, units_sql.c_str(), nullptr, nullptr, nullptr), db, "units");
  Check(sqlite3_exec(db, "COMMIT; ANALYZE", nullptr, nullptr, nullptr), db, "commit");
  sqlite3_close(db);
}

// Median and slowest of `times` runs, and the first (statement prepared, pages not yet cached).
void Time(const char* name, int times, const std::function<size_t()>& run) {
  std::vector<double> ms;
  size_t rows = 0;
  for (int i = 0; i < times; ++i) {
    const auto start = Clock::now();
    rows = run();
    ms.push_back(Ms(Clock::now() - start));
  }
  const double first = ms.front();
  std::sort(ms.begin(), ms.end());
  std::printf("%-34s rows %6zu  first %8.2f ms  median %8.2f ms  max %8.2f ms\n", name, rows, first,
              ms[ms.size() / 2], ms.back());
}

}  // namespace

int main(int argc, char** argv) {
  const int rows = argc > 1 ? std::atoi(argv[1]) : 1000000;
  const int units = argc > 2 ? std::atoi(argv[2]) : 1000;
  char folder[] = "/tmp/uvq-bench-history.XXXXXX";
  if (!::mkdtemp(folder)) return 1;
  const std::string path = std::string(folder) + "/history.sqlite3";
  const std::string shaA(64, 'a'), shaB(64, 'b');
  { SqliteConnection created(path); }
  auto start = Clock::now();
  Fill(path, rows, units, shaA, shaB);
  std::printf("filled %d rows over %d units in %.1f s (%.0f MB)\n", rows, units,
              Ms(Clock::now() - start) / 1000,
              static_cast<double>(std::filesystem::file_size(path)) / 1e6);

  start = Clock::now();
  SqlHistoryStore store(std::make_shared<SqliteConnection>(path));
  std::printf("%-34s %8.2f ms\n", "open (schema checked)", Ms(Clock::now() - start));
  int next = 0;
  Time("query --unit (100 newest)", 50, [&] {
    char unit[16];
    std::snprintf(unit, sizeof unit, "%04d", (next++ * 37) % units);
    return store.query({.unitId = unit}).size();
  });
  Time("query --unit --limit 0 (all rows)", 20, [&] {
    char unit[16];
    std::snprintf(unit, sizeof unit, "%04d", (next++ * 37) % units);
    return store.query({.unitId = unit, .limit = 0}).size();
  });
  Time("query (100 newest, no filter)", 20, [&] { return store.query({}).size(); });
  Time("query --image SHA (100 newest)", 20, [&] { return store.query({.image = shaA}).size(); });
  Time("query --outcome abandoned", 20,
       [&] { return store.query({.outcome = "abandoned"}).size(); });
  Time("query --station --since (100)", 20, [&] {
    return store.query({.station = "station-2", .since = 1700000000000LL + rows / 2 * 1000LL})
        .size();
  });
  Time("units (all)", 20, [&] { return store.units({.limit = 0}).size(); });
  Time("units --image SHA (all)", 20,
       [&] { return store.units({.image = shaB, .limit = 0}).size(); });
  Time("begin + complete (one operation)", 50, [&] {
    OperationRow row;
    row.unitId = "0001";
    row.operation = "reset";
    row.startedAt = 1800000000000LL + next++;
    row.id = store.begin(row);
    row.outcome = "ok";
    row.endedAt = row.startedAt + 5;
    store.complete(row);
    return size_t{1};
  });
  std::filesystem::remove_all(folder);
  return 0;
}

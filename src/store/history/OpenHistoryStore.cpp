// SPDX-License-Identifier: Apache-2.0
#include "store/history/OpenHistoryStore.h"

#include "store/db/HistoryPaths.h"
#include "store/db/RedactedUrl.h"
#include "store/history/PostgresHistoryStore.h"
#include "store/history/SqliteHistoryStore.h"

namespace uvq::history {

namespace {

bool StartsWith(const std::string& text, const std::string& head) {
  return text.compare(0, head.size(), head) == 0;
}

}  // namespace

std::string DisplayedSetting(const std::string& db) {
  return db.empty() ? DefaultSqlitePath() : RedactedUrl(db);
}

std::unique_ptr<HistoryStore> OpenHistoryStore(const std::string& db) {
  if (db.empty()) {
    EnsurePrivateFolder(DefaultHistoryFolder());
    return std::make_unique<SqliteHistoryStore>(DefaultSqlitePath());
  }
  if (StartsWith(db, "postgresql://") || StartsWith(db, "postgres://"))
    return std::make_unique<PostgresHistoryStore>(db);
  if (StartsWith(db, "sqlite://")) {
    const std::string path = db.substr(9);
    if (path.empty())
      throw HistoryError(HistoryErrorKind::Setting, "history setting sqlite:// names no file");
    return std::make_unique<SqliteHistoryStore>(path);
  }
  if (const size_t scheme = db.find("://"); scheme != std::string::npos)
    throw HistoryError(HistoryErrorKind::Setting,
                       "history setting " + RedactedUrl(db) +
                           ": unknown kind of database (a file path, sqlite://PATH or "
                           "postgresql://...)");
  return std::make_unique<SqliteHistoryStore>(db);
}

std::unique_ptr<SpoolingHistoryStore> OpenSpoolingHistoryStore(const std::string& db,
                                                               const std::string& spoolPath) {
  auto store = OpenHistoryStore(db);
  if (!spoolPath.empty())
    return std::make_unique<SpoolingHistoryStore>(std::move(store), spoolPath);
  EnsurePrivateFolder(DefaultHistoryFolder());
  return std::make_unique<SpoolingHistoryStore>(std::move(store), DefaultSpoolPath());
}

}  // namespace uvq::history

// SPDX-License-Identifier: Apache-2.0
#include "store/db/HistoryPaths.h"
#include "store/db/RedactedUrl.h"
#include "store/rollouts/PostgresRolloutStore.h"
#include "store/rollouts/RolloutStore.h"
#include "store/rollouts/SqliteRolloutStore.h"

namespace uvq::history {

std::unique_ptr<RolloutStore> OpenRolloutStore(const std::string& db) {
  auto startsWith = [&db](const char* head) { return db.rfind(head, 0) == 0; };
  if (db.empty()) {
    EnsurePrivateFolder(DefaultHistoryFolder());
    return std::make_unique<SqliteRolloutStore>(DefaultSqlitePath());
  }
  if (startsWith("postgresql://") || startsWith("postgres://"))
    return std::make_unique<PostgresRolloutStore>(db);
  if (startsWith("sqlite://")) {
    const std::string path = db.substr(9);
    if (path.empty())
      throw HistoryError(HistoryErrorKind::Setting, "history setting sqlite:// names no file");
    return std::make_unique<SqliteRolloutStore>(path);
  }
  if (db.find("://") != std::string::npos)
    throw HistoryError(HistoryErrorKind::Setting,
                       "history setting " + RedactedUrl(db) +
                           ": unknown kind of database (a file path, sqlite://PATH or "
                           "postgresql://...)");
  return std::make_unique<SqliteRolloutStore>(db);
}

}  // namespace uvq::history

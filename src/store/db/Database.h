// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <memory>
#include <string>

#include "store/db/SqlConnection.h"

namespace uvq::store {

// The database a "db" setting names (--db, UVQ_DB, `db =`, the window's [History] Db=):
//   ""                               the SQLite default file (DefaultSqlitePath(), folder 0700)
//   a path, or sqlite://PATH         that SQLite file
//   postgresql://... postgres://...  a PostgreSQL database
//   host=... dbname=... (libpq's "key=value" form)   a PostgreSQL database too
// A PostgreSQL password comes best from PGPASSFILE or ~/.pgpass, never the command line.
enum class Engine { Sqlite, Postgres };
struct DatabaseSetting {
  Engine engine = Engine::Sqlite;
  std::string target;  // the file path, or the setting libpq is given
};
// Throws StoreError (Setting) for a setting that names nothing usable.
DatabaseSetting ParseSetting(const std::string& setting);

// The setting as it may be shown: the default file's path, or the setting without its password.
std::string DescribedSetting(const std::string& setting);

// The one connection of this process to the database the setting names, checked and migrated
// when first made; the history and the rollouts share it. Made again once nobody holds it.
// Throws StoreError (no password in its message).
std::shared_ptr<SqlConnection> OpenDatabase(const std::string& setting);

// A connection of its own, as another process would have (tests of several stations).
std::shared_ptr<SqlConnection> OpenOwnDatabase(const std::string& setting);

}  // namespace uvq::store

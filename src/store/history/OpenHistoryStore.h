// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <memory>
#include <string>

#include "store/history/HistoryStore.h"
#include "store/history/SpoolingHistoryStore.h"

namespace uvq::history {

// Opens the history a "db" setting names (--db, UVQ_DB, `db =`, the window's [History] Db=):
//   ""                               the SQLite default file (DefaultSqlitePath(), folder 0700)
//   a path, or sqlite://PATH         that SQLite file
//   postgresql://... postgres://...  a PostgreSQL database (password from the URL, PGPASSFILE
//                                    or ~/.pgpass)
// Throws HistoryError (no password in its message) when the setting names nothing usable, the
// database cannot be reached, is no uvq history or has a newer schema.
std::unique_ptr<HistoryStore> OpenHistoryStore(const std::string& db);

// The same, wrapped so that a write that fails goes to the spool instead of being lost.
std::unique_ptr<SpoolingHistoryStore> OpenSpoolingHistoryStore(const std::string& db,
                                                               const std::string& spoolPath = {});

// The setting as it may be shown: a URL without its password.
std::string DisplayedSetting(const std::string& db);

}  // namespace uvq::history

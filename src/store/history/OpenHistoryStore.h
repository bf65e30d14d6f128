// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <memory>
#include <string>

#include "store/db/SqlConnection.h"
#include "store/history/HistoryStore.h"
#include "store/history/SpoolingHistoryStore.h"

namespace uvq::history {

// Opens the history a "db" setting names (see store::OpenDatabase: "", a path, sqlite://PATH,
// postgresql://..., or libpq's "host=... dbname=..."), on the process's one connection to that
// database. Throws HistoryError (no password in its message) when the setting names nothing
// usable, the database cannot be reached, is no uvq history or has a newer schema.
std::unique_ptr<HistoryStore> OpenHistoryStore(const std::string& db);
std::unique_ptr<HistoryStore> OpenHistoryStore(std::shared_ptr<store::SqlConnection> connection);

// The same, wrapped so that a write that fails goes to the spool instead of being lost.
std::unique_ptr<SpoolingHistoryStore> OpenSpoolingHistoryStore(const std::string& db,
                                                               const std::string& spoolPath = {});

// What an earlier writer could not deliver goes in first. A database refusing it now is no
// reason to stop: the rows stay spooled for a later writer. Returns the refusal, "" when the
// spool was empty or is moved.
std::string MoveSpooledRows(SpoolingHistoryStore& store);

// The setting as it may be shown: the default file's path, or the setting without its password.
std::string DisplayedSetting(const std::string& db);

}  // namespace uvq::history

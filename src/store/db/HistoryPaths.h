// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

namespace uvq::store {

// $XDG_DATA_HOME/uvq, or ~/.local/share/uvq.
std::string DefaultHistoryFolder();
// The embedded default database and, beside it, the spool of writes that did not reach a database.
std::string DefaultSqlitePath();
std::string DefaultSpoolPath();
// Beside a spool: the rollout ends a station kept while the database was away.
std::string EndSpoolPathBeside(const std::string& spoolPath);
// Creates the folder (and its parents) with mode 0700 when missing; throws HistoryError.
void EnsurePrivateFolder(const std::string& folder);

}  // namespace uvq::store

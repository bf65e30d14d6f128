// SPDX-License-Identifier: Apache-2.0
#include "store/history/OpenHistoryStore.h"

#include <exception>

#include "store/db/Database.h"
#include "store/db/HistoryPaths.h"
#include "store/history/SqlHistoryStore.h"

namespace uvq::history {

std::string DisplayedSetting(const std::string& db) {
  return store::DescribedSetting(db);
}

std::unique_ptr<HistoryStore> OpenHistoryStore(std::shared_ptr<store::SqlConnection> connection) {
  return std::make_unique<SqlHistoryStore>(std::move(connection));
}

std::unique_ptr<HistoryStore> OpenHistoryStore(const std::string& db) {
  return OpenHistoryStore(store::OpenDatabase(db));
}

std::unique_ptr<SpoolingHistoryStore> OpenSpoolingHistoryStore(const std::string& db,
                                                               const std::string& spoolPath) {
  auto store = OpenHistoryStore(db);
  if (!spoolPath.empty())
    return std::make_unique<SpoolingHistoryStore>(std::move(store), spoolPath);
  store::EnsurePrivateFolder(store::DefaultHistoryFolder());
  return std::make_unique<SpoolingHistoryStore>(std::move(store), store::DefaultSpoolPath());
}

std::string MoveSpooledRows(SpoolingHistoryStore& store) {
  if (store.spooledCount() == 0) return {};
  try {
    store.flush();
    return {};
  } catch (const std::exception& error) {
    return error.what();
  }
}

}  // namespace uvq::history

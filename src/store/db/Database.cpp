// SPDX-License-Identifier: Apache-2.0
#include "store/db/Database.h"

#include <filesystem>
#include <map>
#include <mutex>

#include "store/db/HistoryPaths.h"
#include "store/db/PostgresConnection.h"
#include "store/db/RedactedUrl.h"
#include "store/db/SqliteConnection.h"

namespace uvq::store {

namespace {

bool StartsWith(const std::string& text, const std::string& head) {
  return text.compare(0, head.size(), head) == 0;
}

std::string AbsolutePath(const std::string& path) {
  return std::filesystem::absolute(path).lexically_normal().string();
}

}  // namespace

DatabaseSetting ParseSetting(const std::string& setting) {
  if (setting.empty()) return {Engine::Sqlite, DefaultSqlitePath()};
  if (StartsWith(setting, "postgresql://") || StartsWith(setting, "postgres://") ||
      IsConnInfo(setting))
    return {Engine::Postgres, setting};
  if (StartsWith(setting, "sqlite://")) {
    const std::string path = setting.substr(9);
    if (path.empty())
      throw StoreError(StoreErrorKind::Setting, "history setting sqlite:// names no file");
    return {Engine::Sqlite, path};
  }
  if (setting.find("://") != std::string::npos)
    throw StoreError(StoreErrorKind::Setting,
                     "history setting " + RedactedSetting(setting) +
                         ": unknown kind of database (a file path, sqlite://PATH, "
                         "postgresql://... or host=... dbname=...)");
  return {Engine::Sqlite, setting};
}

std::string DescribedSetting(const std::string& setting) {
  return setting.empty() ? DefaultSqlitePath() : RedactedSetting(setting);
}

std::shared_ptr<SqlConnection> OpenOwnDatabase(const std::string& setting) {
  const DatabaseSetting parsed = ParseSetting(setting);
  if (parsed.engine == Engine::Postgres) return std::make_shared<PostgresConnection>(parsed.target);
  if (setting.empty()) EnsurePrivateFolder(DefaultHistoryFolder());
  return std::make_shared<SqliteConnection>(parsed.target);
}

std::shared_ptr<SqlConnection> OpenDatabase(const std::string& setting) {
  static std::mutex mutex;
  static std::map<std::string, std::weak_ptr<SqlConnection>> open;
  const DatabaseSetting parsed = ParseSetting(setting);
  const std::string key = parsed.engine == Engine::Sqlite ? "file " + AbsolutePath(parsed.target)
                                                          : "postgres " + parsed.target;
  std::lock_guard lock(mutex);
  for (auto it = open.begin(); it != open.end();)
    it = it->second.expired() ? open.erase(it) : std::next(it);
  if (auto found = open.find(key); found != open.end())
    if (auto connection = found->second.lock()) return connection;
  auto connection = OpenOwnDatabase(setting);
  open[key] = connection;
  return connection;
}

}  // namespace uvq::store

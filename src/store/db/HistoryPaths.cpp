// SPDX-License-Identifier: Apache-2.0
#include "store/db/HistoryPaths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "store/db/StoreError.h"

namespace uvq::store {

namespace {

std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir) return entry->pw_dir;
  throw StoreError(StoreErrorKind::Setting, "no home folder for the history (HOME is not set)");
}

}  // namespace

std::string DefaultHistoryFolder() {
  // XDG asks to ignore a relative value.
  if (const char* data = std::getenv("XDG_DATA_HOME"); data && data[0] == '/')
    return std::string(data) + "/uvq";
  return HomeFolder() + "/.local/share/uvq";
}

std::string DefaultSqlitePath() {
  return DefaultHistoryFolder() + "/history.sqlite3";
}

std::string DefaultSpoolPath() {
  return DefaultHistoryFolder() + "/history.spool";
}

std::string EndSpoolPathBeside(const std::string& spoolPath) {
  const size_t slash = spoolPath.rfind('/');
  return (slash == std::string::npos ? std::string() : spoolPath.substr(0, slash + 1)) +
         "rollout-ends.spool";
}

void EnsurePrivateFolder(const std::string& folder) {
  for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    const std::string part = folder.substr(0, slash);
    if (!part.empty() && ::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
      throw StoreError(StoreErrorKind::Unavailable,
                       "cannot create the history folder " + part + ": " + std::strerror(errno));
    if (slash == std::string::npos) break;
  }
  struct stat info {};
  if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
    throw StoreError(StoreErrorKind::Unavailable,
                     "the history folder " + folder + " is not a folder");
}

}  // namespace uvq::store

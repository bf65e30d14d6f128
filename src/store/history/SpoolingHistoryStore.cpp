// SPDX-License-Identifier: Apache-2.0
#include "store/history/SpoolingHistoryStore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "store/db/SpoolFile.h"
#include "store/history/SpoolLine.h"

namespace uvq::history {

namespace {

using LockedSpool = store::LockedSpoolFile;

// The spool's complete lines, each with its entry when it is one.
std::vector<std::pair<std::string, std::optional<SpoolEntry>>> Lines(const std::string& text) {
  std::vector<std::pair<std::string, std::optional<SpoolEntry>>> lines;
  for (size_t start = 0; start < text.size();) {
    const size_t end = text.find('\n', start);
    if (end == std::string::npos) break;  // cut short: never written whole
    std::string line = text.substr(start, end - start);
    auto entry = ParseSpoolLine(line);
    lines.emplace_back(std::move(line), std::move(entry));
    start = end + 1;
  }
  return lines;
}

}  // namespace

SpoolingHistoryStore::SpoolingHistoryStore(std::unique_ptr<HistoryStore> store,
                                           std::string spoolPath)
    : store_(std::move(store)), spoolPath_(std::move(spoolPath)) {}

int64_t SpoolingHistoryStore::begin(const OperationRow& given) {
  OperationRow row = given;
  if (row.key.empty()) row.key = NewRowKey();
  int64_t id = 0;
  try {
    ThrowWhileAway();
    id = store_->begin(row);
  } catch (const HistoryError& error) {
    Spool({row}, false, error.what());
    std::lock_guard lock(mutex_);
    id = nextLocalId_--;
  }
  std::lock_guard lock(mutex_);
  keys_[id] = row.key;
  return id;
}

std::vector<int64_t> SpoolingHistoryStore::beginAll(const std::vector<OperationRow>& given) {
  std::vector<OperationRow> rows = given;
  for (OperationRow& row : rows)
    if (row.key.empty()) row.key = NewRowKey();
  std::vector<int64_t> ids;
  try {
    ThrowWhileAway();
    ids = store_->beginAll(rows);
  } catch (const HistoryError& error) {
    // None reached the database: all go to the spool in one write, or none does.
    Spool(rows, false, error.what());
    ids.clear();
    std::lock_guard lock(mutex_);
    for (size_t i = 0; i < rows.size(); ++i) ids.push_back(nextLocalId_--);
  }
  std::lock_guard lock(mutex_);
  for (size_t i = 0; i < rows.size() && i < ids.size(); ++i) keys_[ids[i]] = rows[i].key;
  return ids;
}

void SpoolingHistoryStore::complete(const OperationRow& given) {
  OperationRow row = given;
  {
    std::lock_guard lock(mutex_);
    if (auto found = keys_.find(row.id); found != keys_.end()) {
      if (row.key.empty()) row.key = found->second;
      keys_.erase(found);
    }
  }
  // A row without a key was begun elsewhere; only its id can complete it.
  if (row.key.empty() && row.id <= 0)
    throw HistoryError(
        HistoryErrorKind::WriteFailed,
        "history: cannot complete row " + std::to_string(row.id) + ", it was never begun");
  try {
    if (!row.key.empty()) ThrowWhileAway();
    store_->complete(row);
  } catch (const HistoryError& error) {
    if (row.key.empty()) throw;  // a spooled complete needs the key to find its row later
    Spool({row}, true, error.what());
  }
}

void SpoolingHistoryStore::Spool(const std::vector<OperationRow>& rows, bool completed,
                                 const std::string& why) {
  std::string text;
  for (const OperationRow& row : rows) text += SpoolLine({store_->location(), completed, row});
  const std::string lost = rows.size() == 1
                               ? "the history row was NOT recorded"
                               : std::to_string(rows.size()) + " history rows were NOT recorded";
  LockedSpool spool(spoolPath_, O_RDWR, true);
  if (!spool.open())
    throw HistoryError(HistoryErrorKind::WriteFailed,
                       lost + ": " + spool.Reason("cannot open") + " (after: " + why + ")");
  struct stat info {};
  if (::fstat(spool.fd(), &info) != 0)
    throw HistoryError(HistoryErrorKind::WriteFailed, lost + ": " + spool.Reason("cannot read"));
  // Whole lines or nothing (disk full, a size limit): what was written of them is taken back,
  // and a spool this call made is removed again rather than left empty.
  if (!spool.AppendLines(std::move(text), false)) {
    const std::string reason = spool.Reason("cannot write");
    if (spool.created() && info.st_size == 0) ::unlink(spoolPath_.c_str());
    throw HistoryError(HistoryErrorKind::WriteFailed,
                       lost + ": " + reason + " (after: " + why + ")");
  }
  std::lock_guard lock(mutex_);
  if (!spooled_) firstReason_ = why;
  spooled_ = true;
}

void SpoolingHistoryStore::setDatabaseAway(bool away) {
  std::lock_guard lock(mutex_);
  away_ = away;
}

void SpoolingHistoryStore::ThrowWhileAway() const {
  std::lock_guard lock(mutex_);
  if (away_)
    throw HistoryError(HistoryErrorKind::Unavailable,
                       "history " + store_->location() + ": the database cannot be reached");
}

std::optional<std::string> SpoolingHistoryStore::takeSpoolNotice() {
  std::lock_guard lock(mutex_);
  if (!spooled_ || noticeTaken_) return std::nullopt;
  noticeTaken_ = true;
  return "history: a write failed (" + firstReason_ + "); rows kept in " + spoolPath_ +
         " until the next uvq or `uvq history --flush` moves them";
}

bool SpoolingHistoryStore::spooled() const {
  std::lock_guard lock(mutex_);
  return spooled_;
}

size_t SpoolingHistoryStore::flush() {
  LockedSpool spool(spoolPath_, O_RDWR);
  if (!spool.open()) {
    if (errno == ENOENT) return 0;
    throw HistoryError(HistoryErrorKind::ReadFailed, spool.Reason("cannot open"));
  }
  const std::string here = store_->location();
  std::string kept;
  size_t moved = 0;
  std::optional<HistoryError> failure;
  for (auto& [line, entry] : Lines(spool.ReadAll())) {
    const bool mine = entry && entry->location == here;
    if (mine && !failure) {
      try {
        if (entry->completed)
          store_->complete(entry->row);
        else
          store_->begin(entry->row);
        ++moved;
        continue;
      } catch (const HistoryError& error) {
        failure = error;
      }
    }
    kept += line + "\n";
  }
  // Rewritten in place, under the lock the writers take: a new file would lose their lines.
  if (!spool.WriteAt(kept, 0) || ::ftruncate(spool.fd(), static_cast<off_t>(kept.size())) != 0)
    throw HistoryError(HistoryErrorKind::WriteFailed, spool.Reason("cannot rewrite"));
  if (failure) throw *failure;
  return moved;
}

size_t SpoolingHistoryStore::spooledCount() const {
  LockedSpool spool(spoolPath_, O_RDONLY);
  if (!spool.open()) return 0;
  const std::string here = store_->location();
  size_t count = 0;
  for (auto& [line, entry] : Lines(spool.ReadAll()))
    if (entry && entry->location == here) ++count;
  return count;
}

std::vector<OperationRow> SpoolingHistoryStore::query(const HistoryFilter& filter) {
  return store_->query(filter);
}

std::vector<UnitState> SpoolingHistoryStore::units(const HistoryFilter& filter) {
  return store_->units(filter);
}

}  // namespace uvq::history

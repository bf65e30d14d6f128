// SPDX-License-Identifier: Apache-2.0
#include "fleet/RunLog.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "protocol/StatusFlags.h"
#include "recording/StationFacts.h"
#include "reports/JsonLine.h"
#include "store/history/HistoryTime.h"

namespace uvq::fleet {

// The flags' identifiers come from the protocol's one flag table, in its print order.
std::vector<std::string> StatusFlagNames(uint16_t status) {
  std::vector<std::string> names;
  for (const protocol::StatusFlag& flag : protocol::kStatusFlagsInPrintOrder)
    if (status & flag.bit) names.emplace_back(flag.name);
  return names;
}

std::string RunLogLine(const RunLogEntry& e) {
  reports::JsonLine line;
  line.field("time", e.time.empty() ? history::MillisIsoUtc(recording::NowUtcMillis()) : e.time);
  if (e.started.empty())
    line.null("started");
  else
    line.field("started", e.started);
  if (e.durationSeconds)
    line.field("duration_s", *e.durationSeconds);
  else
    line.null("duration_s");
  line.field("station", e.station)
      .field("user", e.user)
      .field("tool_version", e.toolVersion)
      .field("target", e.target)
      .field("address", e.address);
  // A unit that never answered is no unit: null, not "".
  if (e.unitId.empty())
    line.null("unit");
  else
    line.field("unit", e.unitId);
  line.field("operation", e.operation)
      .field("image", e.image)
      .field("image_bytes", e.imageBytes)
      .field("image_sha256", e.imageSha256)
      .field("records", e.records);
  if (e.resends)
    line.field("resends", *e.resends);
  else
    line.null("resends");
  line.field("outcome", e.outcome);
  if (e.finalStatus) {
    char word[8];
    std::snprintf(word, sizeof word, "%04X", *e.finalStatus);
    line.field("status", word).field("status_flags", StatusFlagNames(*e.finalStatus));
  } else {
    line.null("status").null("status_flags");
  }
  line.field("detail", e.detail);
  return line.text();
}

namespace {

std::string NotRegularText(mode_t mode) {
  return S_ISDIR(mode)    ? "a directory"
         : S_ISFIFO(mode) ? "a FIFO"
         : S_ISCHR(mode)  ? "a character device"
         : S_ISBLK(mode)  ? "a block device"
         : S_ISSOCK(mode) ? "a socket"
                          : "not a regular file";
}

}  // namespace

RunLogFile::~RunLogFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool RunLogFile::open(const std::string& path, std::string& error) {
  path_ = path;
  // O_NONBLOCK: a FIFO without a reader must not hold the open. Read access lets the last
  // byte be looked at; a log that may only be written to is still written.
  constexpr int kFlags = O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  int fd = ::open(path.c_str(), O_RDWR | kFlags, 0644);
  if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_WRONLY | kFlags, 0644);
  if (fd < 0) {
    error = "cannot open log '" + path + "': " + std::strerror(errno);
    return false;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    error = "log '" + path + "' is " + NotRegularText(info.st_mode) + ", not a regular file";
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

bool RunLogFile::append(const std::vector<RunLogEntry>& entries, std::string& error) {
  if (fd_ < 0) {
    error = "log '" + path_ + "' is not open";
    return false;
  }
  std::string text;
  for (const RunLogEntry& entry : entries) text += RunLogLine(entry) + "\n";
  // Other runs appending to the same log wait here, so the size read below stays ours.
  while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
  }
  struct stat info {};
  const bool sized = ::fstat(fd_, &info) == 0;
  char last = '\n';
  if (sized && info.st_size > 0 && ::pread(fd_, &last, 1, info.st_size - 1) != 1) last = '\n';
  if (last != '\n') text.insert(text.begin(), '\n');  // someone else's unfinished line ends
  size_t written = 0;
  int writeErrno = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(fd_, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      writeErrno = n < 0 ? errno : ENOSPC;
      break;
    }
    written += static_cast<size_t>(n);
  }
  const bool whole = written == text.size();
  // A part of a line is worse than none: it would be glued to the next run's first line.
  if (!whole && written > 0 && sized && ::ftruncate(fd_, info.st_size) != 0) {
  }
  ::flock(fd_, LOCK_UN);
  if (!whole) {
    error = "cannot write log '" + path_ + "': " + std::strerror(writeErrno) +
            "; this run's lines were not written";
    return false;
  }
  return true;
}

bool AppendRunLog(const std::string& path, const std::vector<RunLogEntry>& entries,
                  std::string& error) {
  RunLogFile file;
  return file.open(path, error) && file.append(entries, error);
}

std::string Sha256Of(std::span<const uint8_t> bytes) {
  const recording::ImageDigest digest = recording::DigestOfBytes(bytes, "image");
  if (!digest.problem.empty()) throw std::runtime_error(digest.problem);
  return digest.sha256;
}

}  // namespace uvq::fleet

// SPDX-License-Identifier: Apache-2.0
#include "store/db/SpoolFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "store/db/StoreError.h"

namespace uvq::store {

LockedSpoolFile::LockedSpoolFile(const std::string& path, int flags, bool create, std::string label)
    : path_(path), label_(std::move(label)) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    created_ = false;
    fd_ = ::open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW);
    if (fd_ < 0 && errno == ENOENT && create) {
      fd_ = ::open(path.c_str(), flags | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
      if (fd_ < 0 && errno == EEXIST) continue;  // another process made it first
      created_ = fd_ >= 0;
    }
    if (fd_ < 0) return;
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        Close();
        return;
      }
    }
    struct stat held {
    }, named{};
    if (::fstat(fd_, &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino)
      return;
    const int lost = errno;
    Close();
    if (!create && lost == ENOENT) {
      errno = ENOENT;
      return;
    }
  }
  errno = EAGAIN;
}

LockedSpoolFile::~LockedSpoolFile() {
  Close();
}

void LockedSpoolFile::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::string LockedSpoolFile::ReadAll() const {
  std::string text;
  char buffer[65536];
  for (off_t at = 0;;) {
    const ssize_t n = ::pread(fd_, buffer, sizeof buffer, at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw StoreError(StoreErrorKind::ReadFailed, Reason("cannot read"));
    if (n == 0) break;
    text.append(buffer, static_cast<size_t>(n));
    at += n;
  }
  return text;
}

bool LockedSpoolFile::WriteAt(const std::string& text, off_t at) const {
  for (size_t done = 0; done < text.size();) {
    const ssize_t n =
        ::pwrite(fd_, text.data() + done, text.size() - done, at + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool LockedSpoolFile::AppendLines(std::string text, bool sync) const {
  struct stat info {};
  if (::fstat(fd_, &info) != 0) return false;
  char last = '\n';
  if (info.st_size > 0 && ::pread(fd_, &last, 1, info.st_size - 1) == 1 && last != '\n')
    text.insert(text.begin(), '\n');
  if (WriteAt(text, info.st_size) && (!sync || ::fsync(fd_) == 0)) return true;
  const int error = errno;
  if (::ftruncate(fd_, info.st_size) != 0) {
    // The reader skips a line cut short; nothing more can be done here.
  }
  errno = error;
  return false;
}

std::string LockedSpoolFile::Reason(const std::string& what) const {
  return label_ + " " + path_ + ": " + what + ": " + std::strerror(errno);
}

std::string EscapedField(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::optional<std::string> UnescapedField(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i == text.size()) return std::nullopt;
    switch (text[i]) {
      case '\\':
        out += '\\';
        break;
      case 't':
        out += '\t';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      default:
        return std::nullopt;
    }
  }
  return out;
}

std::string JoinedLine(const std::vector<std::string>& fields) {
  std::string line;
  for (const std::string& field : fields) {
    if (!line.empty()) line += '\t';
    line += field;
  }
  line += '\n';
  return line;
}

std::vector<std::string> SplitLine(const std::string& line) {
  std::vector<std::string> fields;
  for (size_t start = 0;;) {
    const size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab - start));
    if (tab == std::string::npos) return fields;
    start = tab + 1;
  }
}

}  // namespace uvq::store

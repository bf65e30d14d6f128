// SPDX-License-Identifier: Apache-2.0
#include "dashboard/AccessToken.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/sha.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace uvq::dashboard {

namespace {

constexpr size_t kMaxTokenFileBytes = 4096;
constexpr size_t kMinTokenLength = 16;

std::array<unsigned char, SHA256_DIGEST_LENGTH> Digest(const std::string& text) {
  std::array<unsigned char, SHA256_DIGEST_LENGTH> digest{};
  SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest.data());
  return digest;
}

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  const size_t last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

// Whether others could put another file in the token file's place: its folder must be the
// caller's (or the system's) and writable by its owner alone. A sticky folder such as /tmp
// counts as writable by others: they can put a file there before it is made.
std::string FolderProblem(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const std::string folder =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  struct stat info {};
  if (::stat(folder.c_str(), &info) != 0)
    return "cannot check its folder (" + std::string(std::strerror(errno)) + ")";
  if (info.st_uid != ::geteuid() && info.st_uid != 0)
    return "its folder belongs to another user, who could replace it; keep it in a folder of "
           "your own";
  if (info.st_mode & (S_IWGRP | S_IWOTH))
    return "its folder may be written by others, who could replace it; keep it in a folder "
           "only you can write";
  return {};
}

}  // namespace

std::optional<std::string> ReadTokenFile(const std::string& path, std::string& problem) {
  const std::string shown = "--token-file '" + path + "'";
  // Non-blocking, so a FIFO put in its place cannot hold the start; no link followed.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    problem = shown + ": " + std::strerror(errno);
    return std::nullopt;
  }
  struct FdCloser {
    int fd;
    ~FdCloser() { ::close(fd); }
  } closer{fd};
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    problem = shown + ": not a regular file";
    return std::nullopt;
  }
  if (info.st_uid != ::geteuid()) {
    problem = shown + ": owned by another user; the token must be in a file of your own";
    return std::nullopt;
  }
  if (info.st_mode & (S_IRWXG | S_IRWXO)) {
    problem = shown + ": its group or others may read or write it; make it private (chmod 600)";
    return std::nullopt;
  }
  if (const std::string folder = FolderProblem(path); !folder.empty()) {
    problem = shown + ": " + folder;
    return std::nullopt;
  }
  if (info.st_size > static_cast<off_t>(kMaxTokenFileBytes)) {
    problem = shown + ": larger than 4 KiB, not a token";
    return std::nullopt;
  }
  std::string text(kMaxTokenFileBytes, '\0');
  size_t used = 0;
  while (used < text.size()) {
    const ssize_t n = ::read(fd, text.data() + used, text.size() - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      problem = shown + ": " + std::strerror(errno);
      return std::nullopt;
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  text.resize(used);
  const std::string token = Trimmed(text.substr(0, text.find('\n')));
  if (token.size() < kMinTokenLength) {
    problem = shown + ": the token is shorter than 16 characters";
    return std::nullopt;
  }
  for (unsigned char c : token)
    if (c < 0x21 || c > 0x7e) {
      problem = shown + ": the token holds a blank or a character that is not printable ASCII";
      return std::nullopt;
    }
  return token;
}

bool BearerMatches(const std::string& header, const std::string& token) {
  static const std::string kScheme = "Bearer ";
  if (token.empty() || header.size() <= kScheme.size() ||
      header.compare(0, kScheme.size(), kScheme) != 0)
    return false;
  const auto given = Digest(Trimmed(header.substr(kScheme.size())));
  const auto expected = Digest(token);
  return CRYPTO_memcmp(given.data(), expected.data(), given.size()) == 0;
}

}  // namespace uvq::dashboard

// SPDX-License-Identifier: Apache-2.0
#include "dashboard/AccessToken.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/sha.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

// The file's text, after the checks every token file passes.
std::optional<std::string> ReadCheckedFile(const std::string& path, std::string& problem) {
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
  return text;
}

// Empty when `token` may be used, else why not.
std::string TokenProblem(const std::string& token) {
  if (token.size() < kMinTokenLength) return "the token is shorter than 16 characters";
  for (unsigned char c : token)
    if (c < 0x21 || c > 0x7e)
      return "the token holds a blank or a character that is not printable ASCII";
  return {};
}

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  size_t at = 0;
  while ((at = line.find_first_not_of(" \t\r", at)) != std::string::npos) {
    const size_t end = line.find_first_of(" \t\r", at);
    words.push_back(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
    at = end;
  }
  return words;
}

}  // namespace

std::optional<std::string> ReadTokenFile(const std::string& path, std::string& problem) {
  const auto text = ReadCheckedFile(path, problem);
  if (!text) return std::nullopt;
  const std::string token = Trimmed(text->substr(0, text->find('\n')));
  if (const std::string why = TokenProblem(token); !why.empty()) {
    problem = "--token-file '" + path + "': " + why;
    return std::nullopt;
  }
  return token;
}

std::optional<std::vector<AccessEntry>> ReadAccessFile(const std::string& path,
                                                       std::string& problem) {
  const auto text = ReadCheckedFile(path, problem);
  if (!text) return std::nullopt;
  const std::string shown = "--token-file '" + path + "'";
  // Lines of people and roles when the first line that says something has three words; else
  // the single token of before (an operator's).
  std::vector<std::string> first;
  for (size_t at = 0; at < text->size() && first.empty();) {
    const size_t end = std::min(text->find('\n', at), text->size());
    first = Words(text->substr(at, end - at));
    if (!first.empty() && first.front().starts_with('#')) first.clear();
    at = end + 1;
  }
  if (first.size() != 3) {
    auto token = ReadTokenFile(path, problem);
    if (!token) return std::nullopt;
    return std::vector<AccessEntry>{{"operator", AccessRole::Operator, std::move(*token)}};
  }
  std::vector<AccessEntry> entries;
  size_t start = 0;
  for (int number = 1; start < text->size(); ++number) {
    const size_t end = std::min(text->find('\n', start), text->size());
    const std::string line = text->substr(start, end - start);
    start = end + 1;
    const std::vector<std::string> words = Words(line);
    if (words.empty() || words.front().starts_with('#')) continue;
    const std::string at = shown + ", line " + std::to_string(number) + ": ";
    if (words.size() != 3) {
      problem = at + "expected NAME ROLE TOKEN";
      return std::nullopt;
    }
    AccessEntry entry{words[0], AccessRole::Operator, words[2]};
    if (words[1] == "viewer")
      entry.role = AccessRole::Viewer;
    else if (words[1] != "operator") {
      problem = at + "the role is viewer or operator, not '" + words[1] + "'";
      return std::nullopt;
    }
    if (const std::string why = TokenProblem(entry.token); !why.empty()) {
      problem = at + why;
      return std::nullopt;
    }
    for (const AccessEntry& other : entries)
      if (other.name == entry.name || other.token == entry.token) {
        problem = at + (other.name == entry.name ? "the name " + entry.name + " is given twice"
                                                 : "the token is " + other.name + "'s too");
        return std::nullopt;
      }
    entries.push_back(std::move(entry));
  }
  if (entries.empty()) {
    problem = shown + ": no token in it";
    return std::nullopt;
  }
  return entries;
}

const AccessEntry* MatchingEntry(const std::string& header,
                                 const std::vector<AccessEntry>& entries) {
  const AccessEntry* found = nullptr;
  for (const AccessEntry& entry : entries)
    if (BearerMatches(header, entry.token) && !found) found = &entry;
  return found;
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

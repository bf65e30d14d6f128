#include "RunLog.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>

#include "JsonLine.h"
#include "Output.h"
#include "protocol/StatusFlags.h"

namespace uvq::cli {

// The flags' identifiers come from the protocol's one flag table, in its print order.
std::vector<std::string> StatusFlagNames(uint16_t status) {
  std::vector<std::string> names;
  for (const protocol::StatusFlag& flag : protocol::kStatusFlagsInPrintOrder)
    if (status & flag.bit) names.emplace_back(flag.name);
  return names;
}

std::string RunLogLine(const RunLogEntry& e) {
  JsonLine line;
  line.field("time", e.time.empty() ? IsoTimeUtc() : e.time);
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
      .field("address", e.address)
      .field("unit", e.unitId)
      .field("operation", e.operation)
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

bool AppendRunLog(const std::string& path, const std::vector<RunLogEntry>& entries,
                  std::string& error) {
  std::string text;
  for (const RunLogEntry& entry : entries) text += RunLogLine(entry) + "\n";
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
  if (fd < 0) {
    error = "cannot open log '" + path + "': " + std::strerror(errno);
    return false;
  }
  const ssize_t written = ::write(fd, text.data(), text.size());
  const int writeErrno = errno;
  const bool closed = ::close(fd) == 0;
  if (written != static_cast<ssize_t>(text.size()) || !closed) {
    error = "cannot write log '" + path +
            "': " + (written < 0 ? std::strerror(writeErrno) : "short write");
    return false;
  }
  return true;
}

std::optional<std::string> Sha256OfFile(const std::string& path, std::string& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    error = "cannot open '" + path + "': " + std::strerror(errno);
    return std::nullopt;
  }
  const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                        EVP_MD_CTX_free);
  bool ok = context && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) == 1;
  std::array<unsigned char, 1 << 16> buffer;
  while (ok) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = "cannot read '" + path + "': " + std::strerror(errno);
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    ok = EVP_DigestUpdate(context.get(), buffer.data(), static_cast<size_t>(n)) == 1;
  }
  ::close(fd);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!ok || EVP_DigestFinal_ex(context.get(), digest, &length) != 1) {
    error = "SHA-256 of '" + path + "' failed";
    return std::nullopt;
  }
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", digest[i]);
    hex += pair;
  }
  return hex;
}

}  // namespace uvq::cli

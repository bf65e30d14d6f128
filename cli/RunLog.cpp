#include "RunLog.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>

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
  line.field("time", e.time.empty() ? IsoTimeUtc() : e.time)
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

std::string Sha256Of(std::span<const uint8_t> bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                        EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1 ||
      EVP_DigestUpdate(context.get(), bytes.data(), bytes.size()) != 1 ||
      EVP_DigestFinal_ex(context.get(), digest, &length) != 1)
    throw std::runtime_error("SHA-256 failed");
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", digest[i]);
    hex += pair;
  }
  return hex;
}

}  // namespace uvq::cli

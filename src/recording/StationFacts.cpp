// SPDX-License-Identifier: Apache-2.0
#include "recording/StationFacts.h"

#include <openssl/evp.h>
#include <pwd.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <memory>

#include "protocol/StatusFlags.h"

namespace uvq::recording {

UtcMillis NowUtcMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string HostName() {
  std::array<char, 256> name{};
  if (::gethostname(name.data(), name.size() - 1) != 0) return "unknown";
  return name.data();
}

std::string OsUser() {
  const uid_t uid = ::geteuid();
  std::array<char, 4096> buffer{};
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
      found->pw_name)
    return found->pw_name;
  return std::to_string(uid);
}

std::string StatusFlagsText(uint16_t status) {
  std::string text;
  for (const protocol::StatusFlag& flag : protocol::kStatusFlagsInPrintOrder)
    if (status & flag.bit) text += (text.empty() ? "" : ",") + std::string(flag.name);
  return text;
}

ImageDigest DigestOfImage(FileSystem& files, const std::string& path) {
  ImageDigest digest;
  OpenedFile opened = files.openForReading(path);
  if (!opened.file) {
    digest.problem = "cannot read '" + path + "': " + opened.problem;
    return digest;
  }
  const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                        EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    digest.problem = "SHA-256 of '" + path + "' failed";
    return digest;
  }
  std::array<uint8_t, 1 << 16> buffer{};
  try {
    for (;;) {
      const size_t n = opened.file->read(buffer);
      if (n == 0) break;
      digest.bytes += static_cast<int64_t>(n);
      if (EVP_DigestUpdate(context.get(), buffer.data(), n) != 1) {
        digest.problem = "SHA-256 of '" + path + "' failed";
        return digest;
      }
    }
  } catch (const PlatformError& error) {
    digest.problem = "cannot read '" + path + "': " + error.what();
    return digest;
  }
  std::array<unsigned char, EVP_MAX_MD_SIZE> sum{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), sum.data(), &length) != 1) {
    digest.problem = "SHA-256 of '" + path + "' failed";
    return digest;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  for (unsigned int i = 0; i < length; ++i) {
    digest.sha256 += kHex[sum[i] >> 4];
    digest.sha256 += kHex[sum[i] & 0xF];
  }
  return digest;
}

}  // namespace uvq::recording

// SPDX-License-Identifier: Apache-2.0
#include "recording/StationFacts.h"

#include <openssl/evp.h>
#include <pwd.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <memory>
#include <span>

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
    if (status & flag.bit) {
      if (!text.empty()) text += ',';
      text += flag.name;
    }
  return text;
}

namespace {

// SHA-256 of what is fed to it, as lower-case hex; a failure leaves `problem` set.
class Sha256 {
 public:
  explicit Sha256(std::string what) : what_(std::move(what)) {
    if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1) failed_ = true;
  }
  bool add(std::span<const uint8_t> bytes) {
    if (!failed_ && EVP_DigestUpdate(context_.get(), bytes.data(), bytes.size()) != 1)
      failed_ = true;
    return !failed_;
  }
  // Fills `digest.sha256`, or `digest.problem` when hashing failed.
  void finish(ImageDigest& digest) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> sum{};
    unsigned int length = 0;
    if (failed_ || EVP_DigestFinal_ex(context_.get(), sum.data(), &length) != 1) {
      digest.problem = "SHA-256 of " + what_ + " failed";
      return;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    for (unsigned int i = 0; i < length; ++i) {
      digest.sha256 += kHex[sum[i] >> 4];
      digest.sha256 += kHex[sum[i] & 0xF];
    }
  }

 private:
  std::string what_;
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context_{EVP_MD_CTX_new(),
                                                                   EVP_MD_CTX_free};
  bool failed_ = false;
};

}  // namespace

ImageDigest DigestOfImage(FileSystem& files, const std::string& path) {
  ImageDigest digest;
  OpenedFile opened = files.openForReading(path);
  if (!opened.file) {
    digest.problem = "cannot read '" + path + "': " + opened.problem;
    return digest;
  }
  Sha256 sha("'" + path + "'");
  std::array<uint8_t, 1 << 16> buffer{};
  try {
    for (;;) {
      const size_t n = opened.file->read(buffer);
      if (n == 0) break;
      digest.bytes += static_cast<int64_t>(n);
      if (!sha.add(std::span<const uint8_t>(buffer.data(), n))) break;
    }
  } catch (const PlatformError& error) {
    digest.problem = "cannot read '" + path + "': " + error.what();
    return digest;
  }
  sha.finish(digest);
  return digest;
}

ImageDigest DigestOfBytes(std::span<const uint8_t> bytes, const std::string& name) {
  ImageDigest digest;
  digest.bytes = static_cast<int64_t>(bytes.size());
  Sha256 sha("'" + name + "'");
  sha.add(bytes);
  sha.finish(digest);
  return digest;
}

}  // namespace uvq::recording

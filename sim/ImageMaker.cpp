// SPDX-License-Identifier: Apache-2.0
#include "ImageMaker.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "FileRule.h"
#include "MemoryMap.h"

namespace uvq::sim {

std::optional<std::vector<WireRecord>> MakeImage(std::span<const uint8_t> binary, uint32_t base,
                                                 const std::optional<std::string>& identity) {
  if (!binary.empty()) {
    const uint64_t length = binary.size();
    if (length > UINT32_MAX) return std::nullopt;
    const Region region = RegionOf(base, static_cast<uint32_t>(length));
    if (region != Region::kProgram && region != Region::kData) return std::nullopt;
  }
  std::vector<WireRecord> records;
  records.reserve(binary.size() / kRecordDataMax + 3);
  if (identity) {
    PlainRecord id;
    id.type = RecordType::kIdentity;
    id.length = static_cast<uint8_t>(std::min(identity->size(), kRecordDataMax));
    std::copy_n(identity->begin(), id.length, id.data.begin());
    records.push_back(EncodeRecord(id));
  }
  for (size_t offset = 0; offset < binary.size(); offset += kRecordDataMax) {
    PlainRecord data;
    data.address = base + static_cast<uint32_t>(offset);
    data.length = static_cast<uint8_t>(std::min(kRecordDataMax, binary.size() - offset));
    std::copy_n(binary.begin() + offset, data.length, data.data.begin());
    records.push_back(EncodeRecord(data));
  }
  PlainRecord end;
  end.type = RecordType::kEnd;
  records.push_back(EncodeRecord(end));
  return records;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& out, std::string& problem) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    problem = std::strerror(errno);
    return false;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    problem = std::strerror(errno);
    ::close(fd);
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    problem = NotRegularText(info.st_mode);
    ::close(fd);
    return false;
  }
  // Nothing larger fits in the unit; one byte more than that tells a file that grew.
  constexpr size_t kLimit = kProgramSize;
  const auto tooLarge = [&] {
    problem = "is larger than the unit's program memory (" + std::to_string(kLimit >> 20) + " MiB)";
    ::close(fd);
    return false;
  };
  if (static_cast<uint64_t>(info.st_size) > kLimit) return tooLarge();
  out.clear();
  uint8_t chunk[65536];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      problem = std::strerror(errno);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    out.insert(out.end(), chunk, chunk + n);
    if (out.size() > kLimit) return tooLarge();
  }
  ::close(fd);
  return true;
}

bool WriteImageFile(const std::string& path, const std::vector<WireRecord>& records,
                    std::string& problem) {
  std::vector<uint8_t> bytes;
  bytes.reserve(records.size() * protocol::kRecordSize);
  for (const auto& r : records) bytes.insert(bytes.end(), r.begin(), r.end());
  return WriteWholeFile(path, bytes, problem);
}

}  // namespace uvq::sim

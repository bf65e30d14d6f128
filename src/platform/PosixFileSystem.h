#pragma once

#include <memory>
#include <span>
#include <string>

#include "operations/Ports.h"

namespace uvq::platform {

// An open file descriptor, read-only. Closed on destruction.
class PosixRecordFile : public uvq::RecordFile {
 public:
  explicit PosixRecordFile(int fd);
  ~PosixRecordFile() override;
  PosixRecordFile(const PosixRecordFile&) = delete;
  PosixRecordFile& operator=(const PosixRecordFile&) = delete;

  // Current size on disk; throws PlatformError when it cannot be asked.
  int64_t size() override;
  // Fills `buffer` unless the file ends first (short reads and interruptions are retried);
  // throws PlatformError with the system's error text when the read fails.
  size_t read(std::span<uint8_t> buffer) override;

 private:
  int fd_;
};

// Opens with read access only, so files on read-only shares can still be programmed.
class PosixFileSystem : public uvq::FileSystem {
 public:
  std::unique_ptr<uvq::RecordFile> openForReading(const std::string& path) override;
};

}  // namespace uvq::platform

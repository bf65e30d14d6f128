// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <memory>
#include <span>
#include <string>

#include "ports/Ports.h"

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
  // Records are asked for 24 bytes at a time; the file is read in blocks of a few kilobytes,
  // so a run costs one system call per 170 records instead of one per record, while memory
  // stays the same whatever the file's size.
  bool refill();

  int fd_;
  std::array<uint8_t, 4080> ahead_{};  // a whole number of records
  size_t aheadPos_ = 0;
  size_t aheadLength_ = 0;
};

// A record file opened for reading, or why it was not: the system's error text, or
// "is not a regular file".
struct OpenedRecordFile {
  std::unique_ptr<PosixRecordFile> file;
  std::string problem;  // the system's words, or "is a FIFO, not a regular file" and the like
  bool notRegularFile = false;
};

// Opens with read access only, so files on read-only shares can still be programmed. Only a
// regular file (symbolic links followed) is taken: a FIFO would block the open or the reads
// forever and a device such as /dev/zero would never end. The open itself never waits.
OpenedRecordFile OpenRecordFile(const std::string& path);

// OpenRecordFile as the service's file port.
class PosixFileSystem : public uvq::FileSystem {
 public:
  uvq::OpenedFile openForReading(const std::string& path) override;
};

}  // namespace uvq::platform

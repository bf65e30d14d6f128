// SPDX-License-Identifier: Apache-2.0
#pragma once

// Recording ports shared by the suites: every datagram sent and every log line is kept, the timer
// only remembers how it was armed (tests fire its handler instead of waiting), files live in
// memory and can be told to fail, and the tone is silent or counts.
#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ports/Ports.h"

namespace uvq::test {

using Bytes = std::vector<uint8_t>;

struct RecordingLink : Link {
  std::vector<Bytes> sent;
  bool failNext = false;
  void sendDatagram(std::span<const uint8_t> bytes) override {
    if (failNext) {
      failNext = false;
      throw PlatformError("Socket Error # 101\nNetwork is unreachable");
    }
    sent.emplace_back(bytes.begin(), bytes.end());
  }
};

struct RecordingLog : Log {
  std::vector<std::string> lines;
  void addLogLine(std::string_view line) override { lines.emplace_back(line); }
};

struct RecordingTimer : SharedTimer {
  TimerRole role = TimerRole::None;
  int interval = 0;
  bool enabled = false;
  int armings = 0;
  void disable() override { enabled = false; }
  void enable() override {
    enabled = true;
    ++armings;
  }
  void setHandler(TimerRole r) override { role = r; }
  void setInterval(int ms) override { interval = ms; }
};

struct FixedClock : Clock {
  int64_t ms = 0;  // moved on by the test
  std::string timeOfDay() override { return "12:34:56.789"; }
  int64_t steadyMilliseconds() override { return ms; }
};

struct SilentTone : Tone {
  void beep() override {}
};

struct CountingTone : Tone {
  int beeps = 0;
  void beep() override { ++beeps; }
};

// Files in memory. `failReadAt` makes the read at that offset throw. An opened file reads the
// stored one as it is at each read, so a test may overwrite or shrink it in place mid-run.
struct MemoryFile {
  Bytes data;
  std::optional<size_t> failReadAt;
  std::optional<size_t> truncateAt;  // the file shrinks to this size when read from there on
  bool failSize = false;
  std::optional<int64_t> sizeReported;  // what size() says instead of the data's size
};

struct OpenMemoryFile : RecordFile {
  explicit OpenMemoryFile(MemoryFile& stored) : file(stored) {}
  MemoryFile& file;
  size_t pos = 0;
  int64_t size() override {
    if (file.failSize) throw PlatformError("Input/output error");
    return file.sizeReported.value_or(static_cast<int64_t>(file.data.size()));
  }
  size_t read(std::span<uint8_t> buffer) override {
    if (file.failReadAt && pos >= *file.failReadAt) throw PlatformError("Input/output error");
    if (file.truncateAt && pos >= *file.truncateAt)
      file.data.resize(std::min(file.data.size(), *file.truncateAt + 10));
    const size_t n = std::min(buffer.size(), file.data.size() - std::min(pos, file.data.size()));
    std::copy_n(file.data.begin() + static_cast<std::ptrdiff_t>(pos), n, buffer.begin());
    pos += n;
    return n;
  }
};

struct MemoryFileSystem : FileSystem {
  std::map<std::string, MemoryFile> files;  // an entry stays while a file opened from it lives
  std::vector<std::string> opened;
  std::map<std::string, std::string> notRegular;  // path: what it is instead ("a FIFO")
  OpenedFile openForReading(const std::string& path) override {
    opened.push_back(path);
    if (auto kind = notRegular.find(path); kind != notRegular.end())
      return {nullptr, "is " + kind->second + ", not a regular file", true};
    auto it = files.find(path);
    if (it == files.end()) return {nullptr, "No such file or directory"};
    return {std::make_unique<OpenMemoryFile>(it->second), {}};
  }
};

}  // namespace uvq::test

#pragma once

// An engine wired to recording ports: every datagram sent and every log line is kept, the timer
// only remembers how it was armed (tests fire its handler instead of waiting), files live in
// memory and can be told to fail.
#include <QtTest>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "operations/Engine.h"
#include "operations/PlainControls.h"

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
  std::string timeOfDay() override { return "12:34:56.789"; }
};

struct CountingTone : Tone {
  int beeps = 0;
  void beep() override { ++beeps; }
};

// Files in memory. `failReadAt` makes the read at that offset throw.
struct MemoryFile : RecordFile {
  Bytes data;
  size_t pos = 0;
  std::optional<size_t> failReadAt;
  std::optional<size_t> truncateAt;  // the file shrinks to this size when read from there on
  bool failSize = false;
  int64_t size() override {
    if (failSize) throw PlatformError("Input/output error");
    return static_cast<int64_t>(data.size());
  }
  size_t read(std::span<uint8_t> buffer) override {
    if (failReadAt && pos >= *failReadAt) throw PlatformError("Input/output error");
    if (truncateAt && pos >= *truncateAt) data.resize(std::min(data.size(), *truncateAt + 10));
    const size_t n = std::min(buffer.size(), data.size() - pos);
    std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(pos), n, buffer.begin());
    pos += n;
    return n;
  }
};

struct MemoryFileSystem : FileSystem {
  std::map<std::string, MemoryFile> files;
  std::vector<std::string> opened;
  std::unique_ptr<RecordFile> openForReading(const std::string& path) override {
    opened.push_back(path);
    auto it = files.find(path);
    if (it == files.end()) return nullptr;
    return std::make_unique<MemoryFile>(it->second);
  }
};

struct Harness {
  RecordingLink link;
  RecordingLog log;
  RecordingTimer timer;
  PlainControls controls;
  FixedClock clock;
  CountingTone tone;
  MemoryFileSystem files;
  Engine engine;

  explicit Harness(Timing timing = {})
      : engine(EnginePorts{link, log, timer, controls, clock, tone, files}, nullptr, timing) {
    engine.startUp();
  }

  // A status reply image as a unit sends it (20 bytes).
  static Bytes reply(uint16_t seq, uint8_t type, uint16_t id, uint16_t status,
                     std::array<uint8_t, 4> ip = {10, 0, 0, 7}, uint8_t dataSeq = 0) {
    Bytes r(20, 0);
    r[0] = 0x5A;
    r[1] = 0xA5;
    r[4] = static_cast<uint8_t>(seq >> 8);
    r[5] = static_cast<uint8_t>(seq);
    r[6] = type;
    r[10] = static_cast<uint8_t>(id >> 8);
    r[11] = static_cast<uint8_t>(id);
    std::copy(ip.begin(), ip.end(), r.begin() + 12);
    r[16] = static_cast<uint8_t>(status >> 8);
    r[17] = static_cast<uint8_t>(status);
    r[18] = dataSeq;
    return r;
  }
  // The reply a unit gives to the last PDU built.
  void answer(uint8_t type, uint16_t id, uint16_t status,
              std::array<uint8_t, 4> ip = {10, 0, 0, 7}) {
    const uint16_t seq = engine.pdus().lastNumberSent().value_or(0);
    engine.ProcessStatusReply(reply(seq, type, id, status, ip));
  }
  // Registers a unit and selects it, as a capture reply does.
  void registerUnit(uint16_t id, uint16_t status = 0x4000) {
    engine.LocateClick();
    answer(0, id, status);
  }
  void fire() {
    QVERIFY(timer.enabled);
    engine.TimerTick(timer.role);
  }
  std::vector<std::string> takeLog() { return std::exchange(log.lines, {}); }
  bool enabled(ControlId id) const { return controls.isEnabled(id); }
};

}  // namespace uvq::test

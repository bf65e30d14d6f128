// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

// The loader's only ways to the outside world. Platform adapters (sockets, files, sound, the
// window's timer) and the tests implement them; the loader service holds no socket or clock.
namespace uvq {

// A failure the platform reports (a send that fails, a file that cannot be read). The service
// does not catch most of these: they reach whoever drove it (a click, a tick, a reply hand-over).
class PlatformError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Link {
 public:
  virtual ~Link() = default;
  // Sends one datagram to the current target; throws PlatformError when the platform refuses.
  virtual void sendDatagram(std::span<const uint8_t> bytes) = 0;
};

class Log {
 public:
  virtual ~Log() = default;
  virtual void addLogLine(std::string_view line) = 0;
};

// Who serves the one shared timer; a tick runs that role's handler.
enum class TimerRole : uint8_t { None, DiscoverySupervisor, ProgramSupervisor, CatchEraseError };

// One timer, shared: whoever arms it last owns it. Arming is always disable, set handler, set
// interval, enable; each tick handler disables it first, so one arming gives at most one tick.
class SharedTimer {
 public:
  virtual ~SharedTimer() = default;
  virtual void disable() = 0;
  virtual void enable() = 0;
  virtual void setHandler(TimerRole role) = 0;
  virtual void setInterval(int milliseconds) = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;
  // Local time of day as "hh:nn:ss.zzz".
  virtual std::string timeOfDay() = 0;
  // A clock that only goes forward, in milliseconds from an arbitrary start.
  virtual int64_t steadyMilliseconds() = 0;
};

class Tone {
 public:
  virtual ~Tone() = default;
  // 800 Hz for 250 ms; returns when the tone has ended.
  virtual void beep() = 0;
};

// The beep of a run that was not asked to beep (stations, rollouts): it never sounds.
class SilentTone final : public Tone {
 public:
  void beep() override {}
};

// The open programming file: read 24 bytes at a time, never reopened per record.
class RecordFile {
 public:
  virtual ~RecordFile() = default;
  virtual int64_t size() = 0;
  // Reads up to buffer.size() bytes; returns the count read, 0 at end of file. Throws
  // PlatformError on a read error.
  virtual size_t read(std::span<uint8_t> buffer) = 0;
};

// An opened file, or why it could not be opened (empty when no reason is known).
struct OpenedFile {
  std::unique_ptr<RecordFile> file;
  std::string problem;
  // The path names a FIFO, a device or a folder; `problem` then says which ("is a FIFO, not a
  // regular file").
  bool notRegularFile = false;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // Opens an existing regular file for reading only, never waiting on it.
  virtual OpenedFile openForReading(const std::string& path) = 0;
};

}  // namespace uvq

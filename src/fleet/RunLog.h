// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace uvq::fleet {

// One line of the --log file: what one run did to one unit, for traceability on a production
// line (which image, bit for bit, went into which unit, and how it ended).
struct RunLogEntry {
  std::string time;     // the end, ISO 8601 UTC; the writer fills it in when empty
  std::string started;  // ISO 8601 UTC; "" when not known
  std::optional<double> durationSeconds;
  std::string station;      // host name, or --station
  std::string user;         // the OS user
  std::string toolVersion;  // given by the caller
  std::string target;       // as given
  std::string address;      // resolved, dotted
  std::string unitId;       // "" when no unit was selected
  std::string operation;    // "program", "erase", ...
  std::string image;        // path as given; "" when the run sends no image
  int64_t imageBytes = 0;
  std::string imageSha256;  // lower-case hex
  int64_t records = 0;
  std::optional<int64_t> resends;       // null until the session reports it
  std::string outcome;                  // identifier: ok, no_answer, unit_error, ...
  std::optional<uint16_t> finalStatus;  // the unit's last status word, when one came
  std::string detail;
};

// The entry as one JSON object (no line break): the status word as "4000" with its flags
// decoded into names ("status_flags": ["loader_mode"]); null for what is not known.
std::string RunLogLine(const RunLogEntry& entry);

// The --log file, opened before the run and appended to after it. Only a regular file is
// taken (a FIFO is refused without waiting for a reader). A run's lines are written whole or
// not at all: under an exclusive lock shared with other runs, a write the file system cut short
// (a full disk) is taken back, and a line left unfinished by anything else is ended first, so
// no line is ever glued to another.
class RunLogFile {
 public:
  RunLogFile() = default;
  RunLogFile(const RunLogFile&) = delete;
  RunLogFile& operator=(const RunLogFile&) = delete;
  ~RunLogFile();

  // Opens (creating 0644) for appending; false with a one-line reason.
  bool open(const std::string& path, std::string& error);
  // One line per entry; false with a one-line reason, nothing of them then in the file.
  bool append(const std::vector<RunLogEntry>& entries, std::string& error);

 private:
  int fd_ = -1;
  std::string path_;
};

// RunLogFile's open and append in one.
bool AppendRunLog(const std::string& path, const std::vector<RunLogEntry>& entries,
                  std::string& error);

// The names of the flags set in a status word, in the report's order ("loader_mode", ...).
std::vector<std::string> StatusFlagNames(uint16_t status);

// SHA-256 of the bytes in lower-case hex.
std::string Sha256Of(std::span<const uint8_t> bytes);

}  // namespace uvq::fleet

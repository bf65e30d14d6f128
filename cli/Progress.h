// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include "Fleet.h"
#include "Output.h"

namespace uvq::cli {

// Progress of programming runs, looked at once per round of the loop (never per record):
// - Bar: one line on a terminal, redrawn at most ten times a second, summed over all targets.
//   It is cleared before any log line is written (see clearForLine) and drawn again after it;
//   once every run has ended it is drawn a last time with the end figures (100 % on success)
//   and left on its own line;
// - Lines: a plain line per target every 10 % or every 2 s, and one when its run ends, for logs
//   of scripts;
// - Events: the same cadence as JSON "progress" events on standard output;
// - None: nothing (--quiet).
class Progress {
 public:
  enum class Style { None, Bar, Lines, Events };
  Progress(std::FILE* stream, Style style, Output& output, bool prefixTargets);

  void update(TimePoint now, const std::vector<std::unique_ptr<Session>>& sessions);
  // A session has ended: its last line or event, once, before its result is written.
  void sessionEnded(size_t index, const Session& session);
  // Takes the bar off its line so that a log line can be written there; the next update draws
  // it again. Output calls this before every line it writes.
  void clearForLine();
  // Ends the bar's line so that the summary starts on a clean one.
  void finish();

 private:
  struct TargetState {
    int reportedTenth = 0;
    TimePoint reportedAt{};
    bool endReported = false;
  };
  void drawBar(TimePoint now, const std::vector<std::unique_ptr<Session>>& sessions);
  void reportLines(TimePoint now, const std::vector<std::unique_ptr<Session>>& sessions);
  void report(const Session& session, int64_t records, int64_t total, double seconds);

  std::FILE* stream_;
  Style style_;
  Output& output_;
  bool prefixTargets_;
  TimePoint nextDraw_{};
  bool barShown_ = false;  // the bar is on the terminal's current line
  bool barEnded_ = false;  // drawn a last time and left on its own line
  std::vector<TargetState> states_;
};

// "1:05" for 65 seconds; "--:--" when not known.
std::string MinutesSeconds(double seconds);

}  // namespace uvq::cli

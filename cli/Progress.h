#pragma once

#include <cstdio>
#include <memory>
#include <vector>

#include "Output.h"
#include "Session.h"

namespace uvq::cli {

// Progress of programming runs, looked at once per round of the loop (never per record):
// - Bar: one line on a terminal, redrawn at most ten times a second, summed over all targets;
// - Lines: a plain line per target every 10 % or every 2 s, for logs of scripts;
// - Events: the same cadence as JSON "progress" events on standard output;
// - None: nothing (--quiet).
class Progress {
 public:
  enum class Style { None, Bar, Lines, Events };
  Progress(std::FILE* stream, Style style, Output& output, bool prefixTargets);

  void update(TimePoint now, const std::vector<std::unique_ptr<Session>>& sessions);
  // Clears the bar so that the summary starts on a clean line.
  void finish();

 private:
  struct TargetState {
    int reportedTenth = 0;
    TimePoint reportedAt{};
  };
  void drawBar(TimePoint now, const std::vector<std::unique_ptr<Session>>& sessions);
  void reportLines(TimePoint now, const std::vector<std::unique_ptr<Session>>& sessions);

  std::FILE* stream_;
  Style style_;
  Output& output_;
  bool prefixTargets_;
  TimePoint nextDraw_{};
  bool barShown_ = false;
  std::vector<TargetState> states_;
};

// "1:05" for 65 seconds; "--:--" when not known.
std::string MinutesSeconds(double seconds);

}  // namespace uvq::cli

// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "fleet/RunRecorder.h"
#include "fleet/StationRunner.h"
#include "fleet/StopSource.h"

namespace uvq::fleet {

// More addresses than a jig has places; a wider range is a typo.
inline constexpr uint32_t kMaxStationAddresses = 4096;

// The production jig as asked: one image for every unit plugged in at the range's addresses.
struct JigStationSetup {
  std::string image;  // the file as given
  bool allowPartialRecord = false;
  std::string range;  // "A-B"
  int askEveryMs = 2000;
  size_t parallel = 32;  // wanted; fewer when the open-file limit leaves fewer
  jobs::JobPlan plan;    // how each unit is programmed; the image is set from `image`
  RecordingChoice recording;
  const StopSource* stop = nullptr;
};

// What the station works with, known before anything is sent.
struct JigStationStart {
  std::string station;
  std::string imagePath;  // absolute
  std::string imageSha256;
  size_t imageBytes = 0;
  uint64_t addresses = 0;
  size_t parallel = 0;
  std::string parallelNote;  // set: fewer units at once than wanted, and why
  bool recording = false;
  size_t knownUnits = 0;  // units of the range the history says have the image already
};

// What the jig tells its front end; the history's problems come as RecorderEvents.
class JigStationEvents : public StationEvents, public RecorderEvents {
 public:
  // Once, after every check passed and before the first unit is asked.
  virtual void started(const JigStationStart& start) = 0;
};

struct JigStationResult {
  // Refused before anything was sent; `problem` says why. BadRange: not A-B with A not after
  // B; TooWide: more than kMaxStationAddresses; Unreachable: addresses where no unit can be
  // (multicast, broadcast, reserved); Image: the file cannot be read as an image; History: the
  // history cannot be opened or asked which units have the image.
  enum class Refusal { None, BadRange, TooWide, Unreachable, Image, History };
  Refusal refusal = Refusal::None;
  std::string problem;
  StopCause stoppedBy = StopCause::None;
  jobs::JobOutcome firstFailure = jobs::JobOutcome::Ok;  // of the first unit that failed
  int ok = 0, failed = 0, interrupted = 0, skipped = 0;
};

// Checks the range, reads the image, opens the history and reads which units of the range have
// the image already, then runs the station (StationRunner) in a session pool until `stop` is
// requested.
JigStationResult RunJigStation(const JigStationSetup& setup, JigStationEvents& events,
                               SessionEvents& sessionEvents);

}  // namespace uvq::fleet

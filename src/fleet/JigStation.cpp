// SPDX-License-Identifier: Apache-2.0
#include "fleet/JigStation.h"

#include <memory>
#include <variant>
#include <vector>

#include "fleet/ImageCheck.h"
#include "fleet/Refused.h"
#include "fleet/RunLog.h"
#include "fleet/SessionPool.h"
#include "fleet/TargetList.h"
#include "platform/OpenFileLimit.h"
#include "platform/PosixFileSystem.h"
#include "platform/SystemClock.h"
#include "store/db/RedactedUrl.h"

namespace uvq::fleet {

namespace {

JigStationResult Refused(JigStationResult::Refusal refusal, std::string problem) {
  return RefusedResult<JigStationResult>(refusal, std::move(problem));
}

}  // namespace

JigStationResult RunJigStation(const JigStationSetup& setup, JigStationEvents& events,
                               SessionEvents& sessionEvents) {
  using Refusal = JigStationResult::Refusal;
  const auto range = ParseAddressRange(setup.range);
  if (!range) return Refused(Refusal::BadRange, "not A-B, two addresses, A not after B");
  const uint64_t count = uint64_t{range->second} - range->first + 1;
  if (count > kMaxStationAddresses)
    return Refused(Refusal::TooWide, "has " + std::to_string(count) +
                                         " addresses; a station watches at most " +
                                         std::to_string(kMaxStationAddresses));
  // Where no unit can be, nothing is sent: the same rule and words as a scan's range.
  const auto addresses = ExpandScanRange(setup.range);
  if (const auto* error = std::get_if<TargetError>(&addresses))
    return Refused(Refusal::Unreachable, error->message);

  auto bytes = std::make_shared<std::vector<uint8_t>>();
  if (const auto problem = LoadImage(setup.image, setup.allowPartialRecord, *bytes))
    return Refused(Refusal::Image, problem->message);
  JigStationStart start;
  start.imageSha256 = Sha256Of(*bytes);
  start.imagePath = AbsolutePath(setup.image);
  start.imageBytes = bytes->size();
  start.addresses = count;

  OpenedRecorder opened = OpenRunRecorder(setup.recording, &events);
  std::vector<StationUnit> known;
  if (opened.recorder && opened.recorder->recording()) {
    try {
      known = UnitsWithImage(*opened.recorder->store(), start.imageSha256, *range);
    } catch (const std::exception& error) {
      opened = {nullptr, history::WithoutPassword(error.what(), setup.recording.db)};
    }
  }
  if (!opened.recorder) return Refused(Refusal::History, opened.problem);
  RunRecorder& recorder = *opened.recorder;

  const platform::ParallelInLimit parallel = platform::PossibleParallel(setup.parallel);
  start.station = recorder.station();
  start.parallel = parallel.parallel;
  start.parallelNote = parallel.note;
  start.recording = recorder.recording();
  start.knownUnits = known.size();
  events.started(start);

  platform::SystemClock clock;
  platform::PosixFileSystem files;
  SilentTone tone;
  SessionPool pool(parallel.parallel, setup.stop);
  jobs::JobPlan plan = setup.plan;
  plan.kind = jobs::JobKind::Program;
  plan.image = {start.imagePath, bytes};
  StationRunner runner({*range, setup.askEveryMs, plan, start.imageSha256, &recorder, events,
                        sessionEvents, SharedPorts{clock, tone, files}});
  runner.setPool(&pool);
  runner.remember(known);
  JigStationResult result;
  result.stoppedBy = pool.run(runner);
  result.firstFailure = runner.firstFailure();
  result.ok = runner.ok();
  result.failed = runner.failed();
  result.interrupted = runner.interrupted();
  result.skipped = runner.skipped();
  return result;
}

}  // namespace uvq::fleet

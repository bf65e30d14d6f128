// SPDX-License-Identifier: Apache-2.0
#include "fleet/PlainRun.h"

#include <arpa/inet.h>

#include <unordered_map>

#include "fleet/ImageCheck.h"
#include "fleet/Refused.h"
#include "fleet/RunLog.h"
#include "platform/AlsaTone.h"
#include "platform/OpenFileLimit.h"
#include "platform/PosixFileSystem.h"
#include "platform/SystemClock.h"
#include "protocol/IpAddressText.h"
#include "settings/SettingsFile.h"
#include "uvq/Version.h"

namespace uvq::fleet {

namespace {

protocol::Ipv4Bytes BytesOf(const ResolvedTarget& target) {
  const uint32_t value = ntohl(target.address.s_addr);
  return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
          static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

PlainRunResult Refused(PlainRunRefusal refusal, std::string problem) {
  return RefusedResult<PlainRunResult>(refusal, std::move(problem));
}

// The targets the run works on, each resolved once, or why not.
struct Targets {
  std::vector<ResolvedTarget> resolved;
  PlainRunRefusal refusal = PlainRunRefusal::None;
  std::string problem;
};

Targets ResolveAll(const PlainRunRequest& request, PlainRunEvents& events) {
  Targets out;
  const auto refuse = [&](PlainRunRefusal refusal, std::string problem) {
    out.refusal = refusal;
    out.problem = std::move(problem);
    return std::move(out);
  };
  const bool scanning = request.plan.kind == jobs::JobKind::Scan;
  std::vector<TargetEntry> entries = request.targets;
  if (entries.empty() && !scanning) {
    // Only the settings file beside the program, as before; a file that names no address is
    // said, so a script does not aim at the default unknowingly.
    std::vector<std::string> settingsPaths;
    if (!request.executable.empty())
      settingsPaths.push_back(settings::SettingsPathFor(request.executable));
    const settings::TargetSetting setting = settings::ReadTargetSettingFrom(settingsPaths);
    if (const auto notice = settings::TargetSettingNotice(setting))
      events.targetNotice(*notice);
    else if (setting.path.empty())
      events.targetNotice(
          "no target given (--target, --targets-file, a configuration file, UVQ_TARGET or "
          "uvq.INI beside the program): using the built-in default " +
          setting.address);
    entries.push_back({setting.address, std::nullopt});
  }
  if (scanning) {
    auto range = ExpandScanRange(request.scanRange);
    if (const auto* error = std::get_if<TargetError>(&range))
      return refuse(PlainRunRefusal::Usage, error->message);
    if (!entries.empty())
      return refuse(PlainRunRefusal::Usage,
                    "scan takes its addresses from its range, not --target");
    out.resolved = std::get<std::vector<ResolvedTarget>>(std::move(range));
  }
  const std::optional<std::string> unit =
      request.plan.unit ? std::optional<std::string>(jobs::IdText(*request.plan.unit))
                        : std::nullopt;
  for (const TargetEntry& entry : entries) {
    auto resolved = ResolveTarget(entry);
    if (const auto* error = std::get_if<TargetError>(&resolved))
      return refuse(error->kind == TargetError::Kind::BadAddress ? PlainRunRefusal::Usage
                                                                 : PlainRunRefusal::Network,
                    error->message);
    out.resolved.push_back(std::get<ResolvedTarget>(std::move(resolved)));
    if (!out.resolved.back().unitId) out.resolved.back().unitId = unit;
  }
  if (const auto duplicate = FirstDuplicate(out.resolved)) {
    const ResolvedTarget& t = out.resolved[*duplicate];
    return refuse(PlainRunRefusal::Usage,
                  "target '" + t.text + "' (" + t.addressText + ") is given twice" +
                      (t.unitId ? " for unit " + *t.unitId : std::string()) +
                      "; each unit may be named once");
  }
  if (request.plan.kind == jobs::JobKind::SetIp && request.plan.newAddress) {
    // A unit given a loopback address could never be reached again, unless it already is
    // reached on loopback (the emulated unit): one rule with the window's.
    for (const ResolvedTarget& target : out.resolved)
      if (const auto refusal =
              protocol::NewAddressRefusal(*request.plan.newAddress, BytesOf(target)))
        return refuse(PlainRunRefusal::Usage, "target '" + target.text + "': " + *refusal);
  }
  return out;
}

// Between the sessions and the front end: the history hears of each chosen unit, and of each
// ended session on the first tick after it ended; everything else passes through.
class Relay final : public SessionEvents, public BatchEvents {
 public:
  Relay(PlainRunEvents& events, RunRecorder& history) : events_(events), history_(history) {}
  void track(const std::vector<std::unique_ptr<Session>>& sessions) {
    sessions_ = &sessions;
    seen_.assign(sessions.size(), false);
    for (size_t i = 0; i < sessions.size(); ++i) indexOf_.emplace(sessions[i].get(), i);
  }

  void logLine(std::string_view target, std::string_view line) override {
    events_.logLine(target, line);
  }
  bool wantsReplies() const override { return events_.wantsReplies(); }
  void replied(const Session& session, const UnitReport& report) override {
    events_.replied(session, report);
  }
  void loaderModeReached(const Session& session, protocol::UvqId unit) override {
    events_.loaderModeReached(session, unit);
  }
  void unitChosen(const Session& session, const std::string& unit) override {
    history_.chosen(indexOf_.at(&session), unit);
    events_.unitChosen(session, unit);
  }
  void ended(const Session& session) override { events_.ended(session); }

  void progress(TimePoint now) override {
    for (size_t i = 0; i < seen_.size(); ++i)
      if (!seen_[i] && (*sessions_)[i]->finished())
        seen_[i] = true, history_.ended(i, (*sessions_)[i]->result());
    events_.progress(now);
  }
  void roundDone() override { events_.roundDone(); }

 private:
  PlainRunEvents& events_;
  RunRecorder& history_;
  const std::vector<std::unique_ptr<Session>>* sessions_ = nullptr;
  std::unordered_map<const Session*, size_t> indexOf_;
  std::vector<bool> seen_;
};

std::vector<RunLogEntry> LogEntries(const PlainRunRequest& request, const PlainRunResult& run,
                                    const ImageFacts& image, const RunRecorder& history) {
  const bool programming = request.plan.kind == jobs::JobKind::Program;
  std::vector<RunLogEntry> entries;
  for (size_t i = 0; i < run.targets.size(); ++i) {
    const SessionResult& r = run.targets[i].result;
    RunLogEntry e;
    e.toolVersion = kVersion;
    e.target = run.targets[i].target.text;
    e.address = run.targets[i].target.addressText;
    e.unitId = r.unit;
    e.operation = std::string(jobs::KindName(request.plan.kind));
    history.fillLogTimes(i, e);
    if (programming) {
      e.image = request.imageFile;
      e.imageBytes = image.bytes;
      e.imageSha256 = image.sha256;
      e.resends = static_cast<int64_t>(r.resends);
    }
    e.records = r.records;
    e.finalStatus = r.finalStatus;
    e.outcome = jobs::OutcomeIdentifier(r.outcome);
    e.detail = r.detail;
    entries.push_back(std::move(e));
  }
  return entries;
}

}  // namespace

PlainRunResult RunPlainBatch(const PlainRunRequest& request, PlainRunEvents& events) {
  Targets targets = ResolveAll(request, events);
  if (targets.refusal != PlainRunRefusal::None)
    return Refused(targets.refusal, std::move(targets.problem));

  // The image is read once, before anything is sent: every unit gets exactly these bytes, and
  // the SHA-256 in the run log and the history is theirs.
  jobs::JobPlan plan = request.plan;
  ImageFacts image;
  if (plan.kind == jobs::JobKind::Program) {
    auto bytes = std::make_shared<std::vector<uint8_t>>();
    if (const auto problem = LoadImage(request.imageFile, request.allowPartialRecord, *bytes))
      return Refused(PlainRunRefusal::File, problem->message);
    image.path = AbsolutePath(request.imageFile);
    image.bytes = static_cast<int64_t>(bytes->size());
    if (!request.logFile.empty() || request.recording.recording) image.sha256 = Sha256Of(*bytes);
    plan.image = {request.imageFile, std::move(bytes)};
  } else {
    plan.image = {};
  }
  // The history is opened before anything is sent: a run that cannot be recorded does not start.
  OpenedRecorder opened = OpenRunRecorder(request.recording, &events);
  if (!opened.recorder) return Refused(PlainRunRefusal::History, opened.problem);
  RunRecorder& history = *opened.recorder;
  RunLogFile runLog;
  if (!request.logFile.empty()) {
    // Opened before anything is sent: a log that cannot be written is known before the run.
    std::string error;
    if (!runLog.open(request.logFile, error)) return Refused(PlainRunRefusal::File, error);
  }

  platform::SystemClock clock;
  platform::PosixFileSystem files;
  SilentTone silent;
  std::unique_ptr<platform::AlsaTone> alsa;
  if (plan.beep) alsa = std::make_unique<platform::AlsaTone>();
  Tone& tone = alsa ? static_cast<Tone&>(*alsa) : silent;

  Relay relay(events, history);
  std::vector<std::unique_ptr<Session>> sessions;
  sessions.reserve(targets.resolved.size());
  for (const ResolvedTarget& target : targets.resolved) {
    jobs::JobPlan own = plan;
    own.unit = target.unitId ? UnitIdOf(*target.unitId) : std::nullopt;
    // The resolved address, so the session looks nothing up again.
    sessions.push_back(
        std::make_unique<Session>(target, std::move(own), relay, SharedPorts{clock, tone, files}));
  }
  relay.track(sessions);
  events.starting(sessions);
  // Each target holds a socket while it works; a scan may start many before the first ends.
  platform::RaiseOpenFileLimit(sessions.size() + platform::kOtherDescriptors);
  history.begin(targets.resolved, plan, image);

  PlainRunResult result;
  result.stoppedBy = RunBatch(sessions, request.stop, relay,
                              plan.kind == jobs::JobKind::Scan ? request.scanRate : 0);
  events.batchEnded();
  history.finish(sessions);
  for (size_t i = 0; i < sessions.size(); ++i)
    result.targets.push_back({targets.resolved[i], sessions[i]->target(), sessions[i]->result()});
  result.unrecorded = history.unrecorded();
  if (!request.logFile.empty()) {
    std::string error;
    if (!runLog.append(LogEntries(request, result, image, history), error))
      result.logProblem = error;
  }
  return result;
}

}  // namespace uvq::fleet

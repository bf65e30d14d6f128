// SPDX-License-Identifier: Apache-2.0
#include "SessionOutput.h"

#include "StatusText.h"
#include "protocol/IpAddressText.h"
#include "protocol/StatusFlags.h"
#include "reports/JsonLine.h"
#include "uvq/Version.h"

namespace uvq::cli {

namespace {

constexpr int kInFlightNamed = 8;

}  // namespace

void SayInFlight(Output& output, const SessionPool& pool, TimePoint now,
                 const std::string& rollout) {
  std::string line;
  int named = 0, more = 0;
  pool.forEachInFlight([&](const Session& session) {
    if (!jobs::ChangesUnit(session.kind()) || !session.started()) return;
    const jobs::PhaseView view = session.phase();
    if (output.json()) {
      JsonLine fields;
      if (!rollout.empty()) fields.field("rollout", rollout);
      fields.field("phase", jobs::UnitPhaseName(view.phase))
          .field("done", static_cast<int64_t>(view.done))
          .field("total", static_cast<int64_t>(view.total))
          .field("phase_s", jobs::SecondsIn(view, now))
          .field("elapsed_s", std::chrono::duration<double>(now - view.jobStarted).count());
      output.event(session.target(), "in_flight", fields);
      return;
    }
    if (named >= kInFlightNamed) return void(++more);
    line += (named++ ? ", " : "in flight: ") + session.target() + " " + jobs::PhaseText(view, now);
  });
  if (line.empty()) return;
  if (more > 0) line += " (+" + std::to_string(more) + " more)";
  output.text(line + "\n");
}

void SessionOutput::replied(const Session& session, const UnitReport& report) {
  JsonLine fields;
  fields.field("type", int{report.type})
      .field("unit", jobs::IdText(report.id))
      .field("ip", jobs::IpText(report.ip))
      .field("status", HexWord(report.status))
      .field("seq", int{report.sequence})
      .field("data_seq", int{report.dataSequence});
  output_.event(session.target(), "reply", fields);
}

void SessionOutput::loaderModeReached(const Session& session, protocol::UvqId unit) {
  JsonLine fields;
  fields.field("unit", jobs::IdText(unit));
  output_.event(session.target(), "loader_mode", fields);
}

void SessionOutput::ended(const Session& session) {
  const SessionResult& result = session.result();
  const std::string& target = session.target();
  const ExitCode code = CodeOf(result);
  // An address without units is no failure of a scan, only an empty answer.
  const bool quietMiss = session.kind() == jobs::JobKind::Scan && result.units.empty();
  if (code != ExitCode::Ok && !quietMiss) output_.error(target, result.detail);
  for (const UnitSeen& unit : result.units) {
    JsonLine fields;
    fields.field("unit", unit.id)
        .field("ip", unit.ip)
        .field("status", HexWord(unit.status))
        .field("valid_program", protocol::RunsValidProgram(unit.status));
    output_.event(target, "unit", fields);
  }
  if (quietMiss) return;
  // Results come last: the progress display has its last word on this target first.
  if (beforeResult_) beforeResult_(session);
  JsonLine fields;
  fields.field("outcome", jobs::OutcomeIdentifier(result.outcome))
      .field("exit_code", ToInt(code))
      .field("version", kVersion);
  // A unit that never answered is no unit: null, not "".
  if (result.unit.empty())
    fields.null("unit");
  else
    fields.field("unit", result.unit);
  fields.field("records", result.records)
      .field("refused_records", static_cast<int64_t>(result.refusedRecords))
      .field("resends", static_cast<int64_t>(result.resends))
      .field("seconds", result.seconds)
      .field("records_per_second",
             result.seconds > 0 ? static_cast<double>(result.records) / result.seconds : 0.0)
      .field("detail", result.detail);
  output_.event(target, "result", fields);
}

}  // namespace uvq::cli

// SPDX-License-Identifier: Apache-2.0
#include "SessionOutput.h"

#include "StatusText.h"
#include "protocol/IpAddressText.h"
#include "protocol/StatusFlags.h"
#include "reports/JsonLine.h"
#include "uvq/Version.h"

namespace uvq::cli {

namespace {

jobs::JobKind KindOf(Operation operation) {
  switch (operation) {
    case Operation::Locate:
      return jobs::JobKind::Locate;
    case Operation::Status:
      return jobs::JobKind::Status;
    case Operation::Scan:
      return jobs::JobKind::Scan;
    case Operation::Capture:
      return jobs::JobKind::Capture;
    case Operation::Program:
      return jobs::JobKind::Program;
    case Operation::Erase:
      return jobs::JobKind::Erase;
    case Operation::Reset:
      return jobs::JobKind::Reset;
    case Operation::SetIp:
      return jobs::JobKind::SetIp;
  }
  return jobs::JobKind::Locate;
}

protocol::UvqId IdFromText(const std::string& text) {
  const auto value = static_cast<uint16_t>(std::stoul(text, nullptr, 16));
  return {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value & 0xFF)};
}

}  // namespace

jobs::JobPlan JobPlanOf(const SessionPlan& plan, const jobs::Image& image) {
  jobs::JobPlan job;
  job.kind = KindOf(plan.operation);
  if (plan.unitId) job.unit = IdFromText(*plan.unitId);
  job.eraseKind = plan.eraseKind;
  if (plan.operation == Operation::Program) job.image = image;
  if (plan.operation == Operation::SetIp)
    job.newAddress = protocol::ParseUnitIpAddress(plan.newAddress);
  job.accessCode = plan.accessCode;
  job.waitMs = plan.waitMs;
  job.autoReset = plan.autoReset;
  job.beep = plan.beep;
  job.strict = plan.strict;
  job.verify = plan.verify;
  job.timing = plan.timing;
  job.findAttempts = plan.findAttempts;
  return job;
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

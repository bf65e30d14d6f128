// SPDX-License-Identifier: Apache-2.0
#include "recording/ServiceRecorder.h"

#include <exception>

#include "protocol/IpAddressText.h"
#include "recording/RowEnd.h"
#include "recording/StationFacts.h"
#include "store/history/SpoolingHistoryStore.h"
#include "units/UvqTable.h"

namespace uvq::recording {

using jobs::JobOutcome;

namespace {

std::string AddressText(const protocol::Ipv4Bytes& ip) {
  return protocol::Ipv4Text(ip);
}

}  // namespace

JobOutcome RunOutcome(const RunResult& result) {
  switch (result.end) {
    case RunEnd::Complete:
      // Every record acknowledged, but without "finished programing file" the image is not
      // whole in the unit: the command line fails such a run as the unit's error.
      return result.fileFinished ? JobOutcome::Ok : JobOutcome::UnitError;
    case RunEnd::NotInLoaderMode:
    case RunEnd::RecordError:
      return JobOutcome::UnitError;
    case RunEnd::CommsTimeout:
      return JobOutcome::NoAnswer;
    case RunEnd::FileError:
      return JobOutcome::FileError;
    case RunEnd::LinkError:
      return JobOutcome::NetworkError;
    case RunEnd::Stopped:  // the operator clicked Capture during the run
      return JobOutcome::Interrupted;
  }
  return JobOutcome::InternalError;
}

ServiceRecorder::ServiceRecorder(Ports ports, RecorderIdentity identity)
    : ports_(std::move(ports)), identity_(std::move(identity)) {}

// Rows still open when the window closes stay open: they are what "abandoned" means.
ServiceRecorder::~ServiceRecorder() = default;

history::OperationRow ServiceRecorder::newRow(const std::string& operation) const {
  history::OperationRow row;
  row.startedAt = NowUtcMillis();
  row.station = identity_.station;
  row.osUser = identity_.osUser;
  row.frontEnd = identity_.frontEnd;
  row.toolVersion = identity_.toolVersion;
  row.target = ports_.target ? ports_.target() : std::string();
  row.operation = operation;
  if (const auto unit = ports_.service.registry().selectedUnit()) row.unitId = units::IdText(*unit);
  return row;
}

void ServiceRecorder::begin(history::OperationRow& row) {
  try {
    row.id = ports_.store.begin(row);
    noteSpooled();
  } catch (const std::exception& error) {
    failed(std::string("History not recorded: ") + error.what());
  }
}

void ServiceRecorder::complete(history::OperationRow& row, jobs::JobOutcome outcome,
                               std::optional<uint16_t> status) {
  EndRow(row, outcome, NowUtcMillis(), status);
  if (row.id == 0) return;  // its beginning was not written; nothing to complete
  try {
    ports_.store.complete(row);
    noteSpooled();
  } catch (const std::exception& error) {
    failed(std::string("History not recorded: ") + error.what());
  }
}

void ServiceRecorder::writtenOnce(history::OperationRow row, jobs::JobOutcome outcome,
                                  std::optional<uint16_t> status) {
  begin(row);
  complete(row, outcome, status);
}

// A spooled write is no row lost, but the operator hears of it once: the database is not
// taking rows.
void ServiceRecorder::noteSpooled() {
  auto* spooling = dynamic_cast<history::SpoolingHistoryStore*>(&ports_.store);
  if (!spooling) return;
  if (const auto notice = spooling->takeSpoolNotice()) failed(*notice);
}

void ServiceRecorder::failed(const std::string& what) {
  if (failureReported_) return;
  failureReported_ = true;
  if (ports_.onFailure) ports_.onFailure(what);
}

void ServiceRecorder::unitReported(const UnitReport& report) {
  if (report.fromAddressedUnit) lastReport_ = report;
}

void ServiceRecorder::captureAttempt(int /*attemptsLeft*/) {
  if (capture_) return;  // the same capture, asked again
  capture_ = newRow("capture");
  lastReport_.reset();
  begin(*capture_);
}

void ServiceRecorder::captureEnded(CaptureEnd end) {
  if (!capture_) return;
  history::OperationRow row = std::move(*capture_);
  capture_.reset();
  std::optional<uint16_t> status;
  if (lastReport_) {
    if (row.unitId.empty()) row.unitId = units::IdText(lastReport_->id);
    row.reportedAddress = AddressText(lastReport_->ip);
    status = lastReport_->status;
  }
  switch (end) {
    case CaptureEnd::InLoaderMode:
      return complete(row, JobOutcome::Ok, status);
    case CaptureEnd::TimedOut:
      row.detail = "capture time-out";
      return complete(row, JobOutcome::NoAnswer, status);
    case CaptureEnd::Stopped:
      row.detail = "capture stopped by the operator";
      return complete(row, JobOutcome::Interrupted, status);
  }
}

void ServiceRecorder::runStarted(int32_t recordCount) {
  run_ = newRow("program");
  history::OperationRow& row = *run_;
  row.imagePath = ports_.service.fileName();
  row.records = recordCount;
  // The bytes the run sends, not the file as it is now: it may have changed since it was read.
  if (const auto& image = ports_.service.runImage()) {
    const ImageDigest digest = DigestOfBytes(*image, row.imagePath);
    row.imageBytes = digest.bytes;
    row.imageSha256 = digest.sha256;
    if (!digest.problem.empty()) row.detail = digest.problem;
  }
  begin(row);
}

void ServiceRecorder::runEnded(const RunResult& result) {
  if (!run_) return;
  history::OperationRow row = std::move(*run_);
  run_.reset();
  if (!result.unit.isZero()) row.unitId = units::IdText(result.unit);
  row.records = static_cast<int64_t>(result.acknowledged);
  row.resends = static_cast<int64_t>(result.resends);
  row.refusedRecords = static_cast<int64_t>(result.refusedRecords);
  if (lastReport_) row.reportedAddress = AddressText(lastReport_->ip);
  if (!result.detail.empty()) row.detail = result.detail;
  if (result.end == RunEnd::Complete && !result.fileFinished)
    row.detail = "the unit did not report the file finished";
  complete(row, RunOutcome(result),
           result.status != 0 ? std::optional<uint16_t>(result.status) : std::nullopt);
}

void ServiceRecorder::eraseEnded(EraseKind kind, EraseEnd end, uint16_t status) {
  history::OperationRow row = newRow("erase");
  row.eraseKind = std::string(EraseRow(kind).commandLineName);
  switch (end) {
    case EraseEnd::Done:
      return writtenOnce(std::move(row), JobOutcome::Ok, status);
    case EraseEnd::Refused:
      row.detail = "erase refused";
      return writtenOnce(std::move(row), JobOutcome::UnitError, status);
    case EraseEnd::NoAnswer:
      row.detail = "no answer to the erase";
      return writtenOnce(std::move(row), JobOutcome::NoAnswer, std::nullopt);
  }
}

void ServiceRecorder::resetEnded(ResetEnd end, uint16_t status) {
  history::OperationRow row = newRow("reset");
  if (end == ResetEnd::Refused) row.detail = "reset refused";
  writtenOnce(std::move(row), end == ResetEnd::Answered ? JobOutcome::Ok : JobOutcome::UnitError,
              status);
}

void ServiceRecorder::addressChangeEnded(bool accepted, protocol::Ipv4Bytes reported,
                                         uint16_t status) {
  history::OperationRow row = newRow("set-ip");
  row.reportedAddress = AddressText(reported);
  if (!accepted) row.detail = "address change refused";
  writtenOnce(std::move(row), accepted ? JobOutcome::Ok : JobOutcome::UnitError, status);
}

}  // namespace uvq::recording

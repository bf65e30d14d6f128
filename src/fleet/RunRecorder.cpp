// SPDX-License-Identifier: Apache-2.0
#include "fleet/RunRecorder.h"

#include <exception>
#include <filesystem>

#include "operations/EraseKinds.h"
#include "protocol/IpAddressText.h"
#include "recording/RowEnd.h"
#include "recording/StationFacts.h"
#include "store/db/RedactedUrl.h"
#include "store/db/SqlConnection.h"
#include "store/history/HistoryTime.h"
#include "store/history/OpenHistoryStore.h"
#include "store/history/SpoolingHistoryStore.h"
#include "uvq/Version.h"

namespace uvq::fleet {

using HistoryRow = history::OperationRow;
using history::MillisIsoUtc;
using recording::NowUtcMillis;

RunRecorder::RunRecorder(std::string station, std::string user)
    : station_(std::move(station)), user_(std::move(user)) {}

// Rows are written from the loop that drives the sessions: a database another process holds
// locked is waited for briefly only, then the row is spooled and the units go on.
RunRecorder::RunRecorder(std::unique_ptr<history::SpoolingHistoryStore> store, std::string station,
                         std::string user)
    : store_(std::move(store)), station_(std::move(station)), user_(std::move(user)) {
  if (store_) store_->setLockWait(store::kLoopLockWaitMs);
}

RunRecorder::~RunRecorder() = default;

history::OperationRow RunRecorder::newRow(const std::string& target,
                                          std::string_view operation) const {
  HistoryRow row;
  row.key = history::NewRowKey();  // the same row when its unit is named, and at its end
  row.startedAt = NowUtcMillis();
  row.station = station_;
  row.osUser = user_;
  row.frontEnd = "cli";
  row.toolVersion = kVersion;
  row.target = target;
  row.operation = std::string(operation);
  return row;
}

bool RunRecorder::beginRow(HistoryRow& row) {
  return store_ && write(row, false);
}

bool RunRecorder::completeRow(HistoryRow& row, const SessionResult& result) {
  if (!store_ || row.id == 0) return false;
  FillEndedRow(row, result, NowUtcMillis());
  return write(row, true);
}

void RunRecorder::begin(const std::vector<ResolvedTarget>& targets, const jobs::JobPlan& plan,
                        const ImageFacts& image) {
  kind_ = plan.kind;
  newAddress_ = plan.newAddress ? protocol::Ipv4Text(*plan.newAddress) : std::string();
  const history::UtcMillis now = NowUtcMillis();
  targets_.assign(targets.size(), TargetRows{});
  addresses_.clear();
  for (size_t i = 0; i < targets.size(); ++i) {
    TargetRows& rows = targets_[i];
    rows.startedAt = now;
    addresses_.push_back(targets[i].addressText);
    // Locate, status and scan change nothing: each unit that answered gets a sighting once
    // the target has ended.
    if (!store_ || !jobs::ChangesUnit(plan.kind)) continue;
    HistoryRow row = newRow(targets[i].addressText, jobs::KindName(plan.kind));
    row.startedAt = now;
    if (targets[i].unitId) row.unitId = *targets[i].unitId;
    if (plan.kind == jobs::JobKind::Erase)
      row.eraseKind = std::string(EraseRow(plan.eraseKind).commandLineName);
    if (plan.kind == jobs::JobKind::Program) {
      row.imagePath = image.path;
      row.imageBytes = image.bytes;
      row.imageSha256 = image.sha256;
    }
    if (plan.accessCode) {
      // The live reboot request goes out first, to the same unit: its own row.
      HistoryRow reboot = row;
      reboot.key = history::NewRowKey();
      reboot.operation = "live-reboot";
      reboot.imagePath.clear();
      reboot.imageBytes = 0;
      reboot.imageSha256.clear();
      reboot.eraseKind.clear();
      rows.liveReboot = std::move(reboot);
    }
    rows.operation = std::move(row);
  }
  beginAll();
}

// One write for every target's rows: a station of many units waits for the disk once.
void RunRecorder::beginAll() {
  std::vector<HistoryRow*> pending;
  for (TargetRows& rows : targets_) {
    if (rows.liveReboot) pending.push_back(&*rows.liveReboot);
    if (rows.operation) pending.push_back(&*rows.operation);
  }
  if (pending.empty()) return;
  std::vector<HistoryRow> batch;
  for (const HistoryRow* row : pending) batch.push_back(*row);
  try {
    const std::vector<int64_t> ids = store_->beginAll(batch);
    for (size_t i = 0; i < pending.size() && i < ids.size(); ++i) pending[i]->id = ids[i];
    noteSpooled();
  } catch (const std::exception& error) {
    said(error.what());
  }
  // A row neither the database nor the spool took: its target's result cannot be recorded.
  for (TargetRows& rows : targets_)
    if ((rows.operation && rows.operation->id == 0) ||
        (rows.liveReboot && rows.liveReboot->id == 0))
      rows.lost = true;
}

void RunRecorder::chosen(size_t index, const std::string& unit) {
  if (!store_ || index >= targets_.size()) return;
  TargetRows& rows = targets_[index];
  for (std::optional<HistoryRow>* row : {&rows.liveReboot, &rows.operation}) {
    if (!*row || (*row)->id == 0 || (*row)->unitId == unit) continue;
    (*row)->unitId = unit;
    // Written again as begun (no end, no outcome): killed from here on, it is an abandoned row
    // that names its unit.
    if (!write(**row, true)) rows.lost = true;
  }
}

std::vector<std::string> RunRecorder::unrecorded() const {
  std::vector<std::string> names;
  for (size_t i = 0; i < targets_.size(); ++i) {
    if (!targets_[i].lost) continue;
    const TargetRows& rows = targets_[i];
    const std::string unit = rows.operation && !rows.operation->unitId.empty()
                                 ? " (unit " + rows.operation->unitId + ")"
                                 : std::string();
    names.push_back(addresses_[i] + unit);
  }
  return names;
}

void FillEndedRow(history::OperationRow& row, const SessionResult& result,
                  history::UtcMillis endedAt, bool figures) {
  recording::EndRow(row, result.outcome, endedAt, result.finalStatus);
  if (!result.unit.empty()) row.unitId = result.unit;
  if (!result.reportedAddress.empty()) row.reportedAddress = result.reportedAddress;
  row.detail = result.detail;
  if (!figures) return;
  row.records = result.records;
  row.resends = static_cast<int64_t>(result.resends);
  row.refusedRecords = static_cast<int64_t>(result.refusedRecords);
}

void RunRecorder::ended(size_t index, const SessionResult& result) {
  if (index >= targets_.size() || targets_[index].endedAt) return;
  TargetRows& rows = targets_[index];
  rows.endedAt = NowUtcMillis();
  if (!store_) return;
  if (rows.liveReboot) {
    FillEndedRow(*rows.liveReboot, result, *rows.endedAt, false);
    // The request is not answered on its own: it worked when the capture after it did.
    rows.liveReboot->detail = result.detail.empty() ? "sent before the capture" : result.detail;
    if (!write(*rows.liveReboot, true)) rows.lost = true;
  }
  if (rows.operation) {
    HistoryRow& row = *rows.operation;
    FillEndedRow(row, result, *rows.endedAt);
    // A unit re-addressed and checked reports its new address.
    if (kind_ == jobs::JobKind::SetIp && result.ok()) row.reportedAddress = newAddress_;
    if (!write(row, true)) rows.lost = true;
  }
  if (!jobs::ChangesUnit(kind_)) sightings(rows, result);
}

void RunRecorder::sightings(const TargetRows& rows, const SessionResult& result) {
  const size_t index = static_cast<size_t>(&rows - targets_.data());
  for (const UnitSeen& unit : result.units) {
    HistoryRow row = newRow(addresses_[index], jobs::KindName(kind_));
    row.startedAt = rows.startedAt;
    row.unitId = unit.id;
    row.reportedAddress = unit.ip;
    recording::EndRow(row, jobs::JobOutcome::Ok, *rows.endedAt, unit.status);
    if (!write(row, false) || !write(row, true)) targets_[index].lost = true;
  }
}

void RunRecorder::finish(const std::vector<std::unique_ptr<Session>>& sessions) {
  for (size_t i = 0; i < sessions.size() && i < targets_.size(); ++i)
    ended(i, sessions[i]->result());
}

bool RunRecorder::write(HistoryRow& row, bool complete) {
  // A row whose beginning was lost has nothing to complete.
  if (complete && row.id == 0) return false;
  try {
    if (complete)
      store_->complete(row);
    else
      row.id = store_->begin(row);
    noteSpooled();
    return true;
  } catch (const std::exception& error) {
    said(error.what());
    return false;
  }
}

void RunRecorder::noteSpooled() {
  const auto notice = store_->takeSpoolNotice();
  if (notice && events_) events_->spooled(*notice);
}

// Not even the spool took the row: said once, and the run goes on.
void RunRecorder::said(const std::string& problem) {
  if (writeFailureSaid_) return;
  writeFailureSaid_ = true;
  if (events_) events_->historyProblem(problem);
}

void RunRecorder::fillLogTimes(size_t index, RunLogEntry& entry) const {
  entry.station = station_;
  entry.user = user_;
  if (index >= targets_.size()) return;
  const TargetRows& rows = targets_[index];
  entry.started = MillisIsoUtc(rows.startedAt);
  const history::UtcMillis end = rows.endedAt.value_or(NowUtcMillis());
  entry.time = MillisIsoUtc(end);
  entry.durationSeconds = static_cast<double>(end - rows.startedAt) / 1000.0;
}

std::string AbsolutePath(const std::string& path) {
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(path, error);
  return error ? path : absolute.lexically_normal().string();
}

OpenedRecorder OpenRunRecorder(const RecordingChoice& choice, RecorderEvents* events) {
  std::string station = choice.station.empty() ? recording::HostName() : choice.station;
  std::string user = recording::OsUser();
  OpenedRecorder opened;
  if (!choice.recording) {
    opened.recorder = std::make_unique<RunRecorder>(std::move(station), std::move(user));
    opened.recorder->setEvents(events);
    return opened;
  }
  try {
    auto store = history::OpenSpoolingHistoryStore(choice.db);
    if (const std::string refused = history::MoveSpooledRows(*store); !refused.empty() && events)
      events->historyProblem("spooled rows not moved yet: " + refused);
    opened.recorder =
        std::make_unique<RunRecorder>(std::move(store), std::move(station), std::move(user));
    opened.recorder->setEvents(events);
  } catch (const std::exception& error) {
    // The store's messages carry no password; a library's words are cleaned all the same.
    opened.problem = history::WithoutPassword(error.what(), choice.db);
  }
  return opened;
}

}  // namespace uvq::fleet

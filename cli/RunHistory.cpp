// SPDX-License-Identifier: Apache-2.0
#include "RunHistory.h"

#include <cstdio>
#include <exception>
#include <filesystem>

#include "HistoryTime.h"
#include "operations/EraseKinds.h"
#include "recording/StationFacts.h"
#include "store/db/RedactedUrl.h"
#include "store/history/OpenHistoryStore.h"
#include "store/history/SpoolingHistoryStore.h"
#include "uvq/Version.h"

namespace uvq::cli {

using HistoryRow = history::OperationRow;
using recording::NowUtcMillis;

RunHistory::RunHistory(std::string station, std::string user)
    : station_(std::move(station)), user_(std::move(user)) {}

RunHistory::RunHistory(std::unique_ptr<history::SpoolingHistoryStore> store, std::string station,
                       std::string user)
    : store_(std::move(store)), station_(std::move(station)), user_(std::move(user)) {}

RunHistory::~RunHistory() = default;

void RunHistory::begin(const std::vector<ResolvedTarget>& targets, const SessionPlan& plan,
                       const ImageFacts& image) {
  operation_ = plan.operation;
  newAddress_ = plan.newAddress;
  const history::UtcMillis now = NowUtcMillis();
  targets_.assign(targets.size(), TargetRows{});
  addresses_.clear();
  for (size_t i = 0; i < targets.size(); ++i) {
    TargetRows& rows = targets_[i];
    rows.startedAt = now;
    addresses_.push_back(targets[i].addressText);
    // Locate, status and scan change nothing: each unit that answered gets a sighting once
    // the target has ended.
    if (!store_ || !ChangesUnit(plan.operation)) continue;
    HistoryRow row;
    row.key = history::NewRowKey();  // the same row when its unit is named, and at its end
    row.startedAt = now;
    row.station = station_;
    row.osUser = user_;
    row.frontEnd = "cli";
    row.toolVersion = kVersion;
    row.target = targets[i].addressText;
    if (targets[i].unitId) row.unitId = *targets[i].unitId;
    row.operation = std::string(OperationName(plan.operation));
    if (plan.operation == Operation::Erase)
      row.eraseKind = std::string(EraseRow(plan.eraseKind).commandLineName);
    if (plan.operation == Operation::Program) {
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
void RunHistory::beginAll() {
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

void RunHistory::chosen(size_t index, const std::string& unit) {
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

std::vector<std::string> RunHistory::unrecorded() const {
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
  row.endedAt = endedAt;
  if (!result.unit.empty()) row.unitId = result.unit;
  row.outcome = std::string(jobs::OutcomeIdentifier(result.outcome));
  row.finalStatus = result.finalStatus;
  if (!result.reportedAddress.empty()) row.reportedAddress = result.reportedAddress;
  row.finalFlags =
      result.finalStatus ? recording::StatusFlagsText(*result.finalStatus) : std::string();
  row.detail = result.detail;
  if (!figures) return;
  row.records = result.records;
  row.resends = static_cast<int64_t>(result.resends);
  row.refusedRecords = static_cast<int64_t>(result.refusedRecords);
}

void RunHistory::ended(size_t index, const SessionResult& result) {
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
    if (operation_ == Operation::SetIp && CodeOf(result) == ExitCode::Ok)
      row.reportedAddress = newAddress_;
    if (!write(row, true)) rows.lost = true;
  }
  if (!ChangesUnit(operation_)) sightings(rows, result);
}

void RunHistory::sightings(const TargetRows& rows, const SessionResult& result) {
  const size_t index = static_cast<size_t>(&rows - targets_.data());
  for (const UnitSeen& unit : result.units) {
    HistoryRow row;
    row.startedAt = rows.startedAt;
    row.endedAt = rows.endedAt;
    row.station = station_;
    row.osUser = user_;
    row.frontEnd = "cli";
    row.toolVersion = kVersion;
    row.target = addresses_[index];
    row.unitId = unit.id;
    row.reportedAddress = unit.ip;
    row.operation = std::string(OperationName(operation_));
    row.outcome = "ok";
    row.finalStatus = unit.status;
    row.finalFlags = recording::StatusFlagsText(unit.status);
    if (!write(row, false) || !write(row, true)) targets_[index].lost = true;
  }
}

void RunHistory::finish(const std::vector<std::unique_ptr<Session>>& sessions) {
  for (size_t i = 0; i < sessions.size() && i < targets_.size(); ++i)
    ended(i, sessions[i]->result());
}

bool RunHistory::write(HistoryRow& row, bool complete) {
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

void RunHistory::noteSpooled() {
  if (const auto notice = store_->takeSpoolNotice())
    std::fprintf(stderr, "uvq: %s\n", notice->c_str());
}

// Not even the spool took the row: said once, and the run goes on.
void RunHistory::said(const std::string& problem) {
  if (writeFailureSaid_) return;
  writeFailureSaid_ = true;
  std::fprintf(stderr, "uvq: history: %s\n", problem.c_str());
}

void RunHistory::fillLogTimes(size_t index, RunLogEntry& entry) const {
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

OpenedRunHistory OpenRunHistory(const HistoryOptions& options) {
  std::string station = options.station.empty() ? recording::HostName() : options.station;
  std::string user = recording::OsUser();
  if (!options.recording())
    return {std::make_unique<RunHistory>(std::move(station), std::move(user)), {}};
  try {
    auto store = history::OpenSpoolingHistoryStore(options.db);
    // What an earlier run could not deliver goes in first. A database refusing it now is no
    // reason to stop this run: the rows stay spooled for the next one.
    if (store->spooledCount() > 0) {
      try {
        store->flush();
      } catch (const history::HistoryError& error) {
        std::fprintf(stderr, "uvq: history: spooled rows not moved yet: %s\n", error.what());
      }
    }
    return {std::make_unique<RunHistory>(std::move(store), std::move(station), std::move(user)),
            {}};
  } catch (const std::exception& error) {
    // The store's messages carry no password; a library's words are cleaned all the same.
    return {nullptr, history::WithoutPassword(std::string(error.what()) +
                                                  "; nothing was sent (--no-history runs "
                                                  "without recording)",
                                              options.db)};
  }
}

}  // namespace uvq::cli

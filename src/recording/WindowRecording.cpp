// SPDX-License-Identifier: Apache-2.0
#include "recording/WindowRecording.h"

#include <cstdlib>
#include <exception>

#include "recording/ServiceRecorder.h"
#include "recording/StationFacts.h"
#include "store/db/RedactedUrl.h"
#include "store/history/OpenHistoryStore.h"
#include "store/history/SpoolingHistoryStore.h"

namespace uvq::recording {

std::string WindowHistorySetting(const std::string& configured) {
  if (!configured.empty()) return configured;
  const char* environment = std::getenv("UVQ_DB");
  return environment ? environment : "";
}

WindowRecording::WindowRecording(Setup setup) : service_(setup.service) {
  try {
    store_ = history::OpenSpoolingHistoryStore(setup.db);
  } catch (const std::exception& error) {
    if (setup.logLine)
      setup.logLine(
          history::WithoutPassword(std::string("History not recorded: ") + error.what(), setup.db));
    return;
  }
  // Refused again: the rows stay spooled for a later start or `uvq history --flush`.
  history::MoveSpooledRows(*store_);
  const std::string db = setup.db;
  auto logLine = setup.logLine;
  ServiceRecorder::Ports ports{*store_, setup.service, std::move(setup.target),
                               [logLine, db](const std::string& line) {
                                 if (logLine) logLine(history::WithoutPassword(line, db));
                               }};
  recorder_ = std::make_unique<ServiceRecorder>(
      std::move(ports), RecorderIdentity{HostName(), OsUser(), "window", setup.toolVersion});
  service_.addListener(recorder_.get());
}

WindowRecording::~WindowRecording() {
  if (recorder_) service_.removeListener(recorder_.get());
}

}  // namespace uvq::recording

// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "operations/LoaderService.h"

namespace uvq::history {
class SpoolingHistoryStore;
}  // namespace uvq::history

namespace uvq::recording {

class ServiceRecorder;

// The window's history: opened from its setting ([History] Db=, else UVQ_DB, else the SQLite
// default), rows spooled when a write fails, what earlier runs spooled moved in, and a recorder
// listening to the loader service for as long as this object lives. The window's log hears of
// the history only when recording fails: one line, once.
class WindowRecording {
 public:
  struct Setup {
    std::string db;
    LoaderService& service;
    std::function<std::string()> target;  // the address the window sends to now
    std::function<void(const std::string&)> logLine;
    std::string toolVersion;
  };
  explicit WindowRecording(Setup setup);
  ~WindowRecording();
  WindowRecording(const WindowRecording&) = delete;
  WindowRecording& operator=(const WindowRecording&) = delete;

  bool recording() const { return recorder_ != nullptr; }

 private:
  LoaderService& service_;
  std::unique_ptr<history::SpoolingHistoryStore> store_;
  std::unique_ptr<ServiceRecorder> recorder_;
};

// The setting the window uses: `configured` ([History] Db=) when set, else UVQ_DB, else "" (the
// SQLite default).
std::string WindowHistorySetting(const std::string& configured);

}  // namespace uvq::recording

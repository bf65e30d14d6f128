// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <string>

#include "Fleet.h"
#include "Output.h"

namespace uvq::cli {

// Sessions as the command line shows them: log lines with -v, replies and loader mode as
// events, each failure on standard error, the units a locate found and the result event.
class SessionOutput final : public fleet::SessionEvents {
 public:
  explicit SessionOutput(Output& output) : output_(output) {}

  // Called just before a session's result event (the progress display's last word on it).
  void setBeforeResult(std::function<void(const Session&)> hook) {
    beforeResult_ = std::move(hook);
  }

  void logLine(std::string_view target, std::string_view line) override {
    output_.logLine(target, line);
  }
  bool wantsReplies() const override { return output_.json(); }
  void replied(const Session& session, const UnitReport& report) override;
  void loaderModeReached(const Session& session, protocol::UvqId unit) override;
  void ended(const Session& session) override;

 private:
  Output& output_;
  std::function<void(const Session&)> beforeResult_;
};

// The units a pool works on now (its locates left out), each with its phase and the time in it:
// with --json an "in_flight" event per unit (`rollout`, when not empty, names its rollout), else
// one line "in flight: 127.0.5.3 program 812/2049 4.1 s, ..." naming the first few.
void SayInFlight(Output& output, const SessionPool& pool, TimePoint now,
                 const std::string& rollout = {});

}  // namespace uvq::cli

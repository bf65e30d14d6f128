// SPDX-License-Identifier: Apache-2.0
#pragma once

// Scripted units answering from a thread of their own while a session pool runs on the test's
// thread, and the plan that programs them.
#include <poll.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "jobs/JobPlan.h"
#include "jobs/ScriptedUnits.h"
#include "protocol/PduLayout.h"

namespace uvq::test {

// The units of every site answer on one thread; `plugged` is the one thing a test changes
// meanwhile.
class UnitsOnTheirThread {
 public:
  explicit UnitsOnTheirThread(jobtest::ScriptedUnits& site) : UnitsOnTheirThread({&site}) {}
  explicit UnitsOnTheirThread(std::vector<jobtest::ScriptedUnits*> sites)
      : sites_(std::move(sites)) {
    thread_ = std::thread([this] {
      while (!stop_.load()) {
        std::vector<pollfd> waits;
        bool pending = false;
        for (jobtest::ScriptedUnits* site : sites_) {
          for (jobtest::ScriptedUnit& unit : site->units) unit.silent = !plugged.load();
          site->pump();
          pending = pending || site->answersPending();
          waits.push_back({site->handle(), POLLIN, 0});
        }
        ::poll(waits.data(), waits.size(), pending ? 1 : 5);
      }
    });
  }
  ~UnitsOnTheirThread() {
    stop_ = true;
    thread_.join();
  }
  std::atomic<bool> plugged{true};

 private:
  std::vector<jobtest::ScriptedUnits*> sites_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Programs an image of `records` records with short waits, as scripted units answer at once.
inline jobs::JobPlan ScriptedProgramPlan(size_t records) {
  jobs::JobPlan plan;
  plan.kind = jobs::JobKind::Program;
  auto bytes = std::make_shared<std::vector<uint8_t>>(records * protocol::kRecordSize, 0x5A);
  plan.image = {"fw.cry", bytes};
  plan.waitMs = 40;
  plan.verifyMs = 300;
  plan.timing.captureIntervalMs = 50;
  return plan;
}

}  // namespace uvq::test

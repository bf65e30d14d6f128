// SPDX-License-Identifier: Apache-2.0
// The text forms people read, where their layout is a rule of its own: a name or a detail of
// any length is shown whole and never takes its line's end with it.
#include <QTest>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "reports/RolloutText.h"
#include "reports/RunSummaryText.h"

using namespace uvq::reports;

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace

class TextFormsTest : public QObject {
  Q_OBJECT

 private slots:
  void runSummaryTableKeepsLongNamesAndDetailsWhole() {
    SummaryTarget slow;
    slow.name = std::string(300, 'h') + ".example";
    slow.outcome = uvq::jobs::JobOutcome::NoAnswer;
    slow.outcomeWords = "no answer";
    slow.detail = "unit 0100 stopped answering " + std::string(700, 'x');
    SummaryTarget fine;
    fine.name = "127.0.71.2";
    fine.outcomeWords = "ok";
    fine.unit = "0200";
    fine.records = 100;
    fine.seconds = 2;
    const std::string text = RunSummaryText(uvq::jobs::JobKind::Program, {slow, fine});
    const std::vector<std::string> lines = Lines(text);
    QCOMPARE(lines.size(), size_t{4});  // heading, two targets, the count
    QVERIFY(text.ends_with("1 ok, 1 failed\n"));
    QVERIFY(lines[1].ends_with("no answer - " + slow.detail));
    QVERIFY(lines[2].ends_with("  ok"));
    // Every column starts where its heading does, the long name widening the first.
    const size_t result = lines[0].find("result");
    QCOMPARE(lines[1].find("no answer"), result);
    QCOMPARE(lines[2].rfind("ok"), result);
    QCOMPARE(lines[2].find("0200"), lines[0].find("unit"));
  }

  void rolloutEndLineKeepsItsEnd() {
    const std::string name(400, 'r');
    const std::string line = RolloutEndLine(name, "done", 3, 1, 2);
    QCOMPARE(line, "rollout " + name + ": done; this station: 3 ok, 1 failed, 2 redone\n");
    QCOMPARE(RolloutEndLine("fw", "stopped", 0, 0, 0),
             std::string("rollout fw: stopped; this station: 0 ok, 0 failed\n"));
  }

  // A unit's end says each fact once: its status only where its detail does not name it, a
  // retryable end with no attempt left as a failure, and a claim that had run out.
  void unitEndedLineSaysEachFactOnce() {
    uvq::rollouts::Claim claim;
    claim.target = "127.0.71.3";
    uvq::rollouts::AttemptVerdict verdict;
    verdict.progress = uvq::rollouts::UnitProgress::Pending;
    AttemptLineFacts facts{"0100", "unit 0100 refused (status 6002 ...)", 0x6002};
    std::string line =
        UnitEndedLine("fw", claim, uvq::rollouts::AttemptEnd::Retryable, verdict, facts);
    QCOMPARE(line, "[127.0.71.3] retry (unit 0100): " + facts.detail + "; now pending");
    facts.detail = "no answer";
    verdict.progress = uvq::rollouts::UnitProgress::Failed;
    verdict.held = false;
    line = UnitEndedLine("fw", claim, uvq::rollouts::AttemptEnd::Retryable, verdict, facts);
    QVERIFY2(line.starts_with("[127.0.71.3] failed (unit 0100): no answer; status 6002 ("),
             line.c_str());
    QVERIFY2(line.ends_with("; now failed (uvq rollout retry fw --failed puts it back) (its claim "
                            "had run out: another station has it now)"),
             line.c_str());
    verdict = {};
    line = UnitEndedLine("fw", claim, uvq::rollouts::AttemptEnd::Interrupted, verdict,
                         {"", "", std::nullopt});
    QCOMPARE(line, std::string("[127.0.71.3] interrupted; now pending, redone by the next run"));
    QCOMPARE(UnitEndedLine("fw", claim, uvq::rollouts::AttemptEnd::Ok, verdict, facts),
             std::string("[127.0.71.3] ok (unit 0100)"));
  }

  // A paused or stopped rollout with nothing in flight and no wait has nothing to say before
  // the end's own line.
  void stateLinesOnlyWhenTheStationHasSomethingToSay() {
    using uvq::rollouts::RolloutState;
    QVERIFY(!RolloutStateLine("fw", RolloutState::Stopped, 0, false));
    QCOMPARE(*RolloutStateLine("fw", RolloutState::Paused, 0, true),
             std::string("rollout 'fw' is paused: this station waits for uvq rollout resume fw"));
    QCOMPARE(*RolloutStateLine("fw", RolloutState::Cancelled, 2, false),
             std::string("rollout 'fw' is cancelled: no new unit starts; 2 in flight finish"));
    QCOMPARE(*RolloutStateLine("fw", RolloutState::Running, 0, false),
             std::string("rollout 'fw' is running again: units start"));
  }

  // The board shows the groups around the first one not finished, never past the last.
  void boardShowsTheGroupsAroundTheOneWorkedOn() {
    uvq::rollouts::RolloutSummary summary;
    for (int i = 0; i < 10; ++i) {
      uvq::rollouts::GroupCounts g;
      g.group = i;
      g.size = 10;
      g.ok = 5;
      g.failed = 5;
      summary.groups.push_back(g);
    }
    const auto firstShown = [&](int working) {
      for (auto& g : summary.groups) g.pending = g.group == working ? 1 : 0;
      const std::vector<std::string> lines = RolloutBoardLines("fw", summary);
      return lines.size() > 1 ? lines[1].substr(0, 10) : std::string();
    };
    QCOMPARE(firstShown(1), std::string(" group 1  "));
    QCOMPARE(firstShown(4), std::string(" group 3  "));
    QCOMPARE(firstShown(8), std::string(" group 5  "));  // six shown: 5 to 10
    QCOMPARE(RolloutBoardLines("fw", summary).size(), size_t{7});
    QVERIFY(RolloutBoardLines("fw", summary)[1].find("[##########xxxxxxxxxx]") !=
            std::string::npos);
  }
};

QTEST_GUILESS_MAIN(TextFormsTest)
#include "TextFormsTest.moc"

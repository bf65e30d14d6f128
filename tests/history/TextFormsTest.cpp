// SPDX-License-Identifier: Apache-2.0
// The text forms people read, where their layout is a rule of its own: a name or a detail of
// any length is shown whole and never takes its line's end with it.
#include <QTest>

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
};

QTEST_GUILESS_MAIN(TextFormsTest)
#include "TextFormsTest.moc"

// SPDX-License-Identifier: Apache-2.0
// The window's runs in the history: the real window, headless, against uvq-sim, recording into
// a SQLite file that the real `uvq history` then reads. Addresses 127.0.7.40 - 127.0.7.49.

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>

#include "E2eSupport.h"

using namespace uvq::e2e;

namespace {

// The run as the service reported it, every figure of it.
class LastRun : public uvq::LoaderOutcomes {
 public:
  void runEnded(const uvq::RunResult& result) override { run = result; }
  std::optional<uvq::RunResult> run;
};

// `uvq history --json ARGS` on `db`, one object a row, newest first.
QList<QJsonObject> History(const QString& db, const QStringList& args = {}) {
  QProcess uvq;
  uvq.start(
      qEnvironmentVariable("UVQ_BUILD_DIR") + QStringLiteral("/uvq"),
      QStringList{QStringLiteral("history"), QStringLiteral("--json"), QStringLiteral("--db"), db}
          << args);
  QList<QJsonObject> rows;
  if (!uvq.waitForFinished(30000) || uvq.exitCode() != 0) return rows;
  for (const QByteArray& line : uvq.readAllStandardOutput().split('\n'))
    if (!line.isEmpty()) rows << QJsonDocument::fromJson(line).object();
  return rows;
}

}  // namespace

class E2eHistoryTest : public QObject {
  Q_OBJECT

 private slots:
  void windowRunsAppearInTheHistory();
  void unusableHistoryIsSaidOnceAndTheWindowWorks();
};

void E2eHistoryTest::windowRunsAppearInTheHistory() {
  QTemporaryDir dir;
  const QString image = MakeImage(dir, QStringLiteral("image"), RandomBinary(4096, 40));
  QVERIFY(!image.isEmpty());
  const QString db = dir.filePath(QStringLiteral("history.sqlite3"));
  Sim sim(QStringLiteral("127.0.7.40"));
  // Lost replies make the run resend: the history must count what the service counted.
  QVERIFY(sim.start({QStringLiteral("--drop"), QStringLiteral("0.1"), QStringLiteral("--seed"),
                     QStringLiteral("40"), QStringLiteral("--expect"),
                     dir.filePath(QStringLiteral("image.bin"))}));
  Loader loader(QStringLiteral("127.0.7.40"), db.toStdString());
  LastRun last;
  loader.service().addListener(&last);

  QVERIFY(loader.capture());
  loader.choose(image);
  // A lost reply is resent after 50 ms of quiet: long enough that a busy machine's slow reply
  // is not taken for a lost one.
  QVERIFY2(loader.program(30000, &sim), qPrintable(loader.logText()));
  QVERIFY2(sim.waitForOutput(QStringLiteral("IMAGE OK\n"), 10000), qPrintable(loader.logText()));
  QVERIFY(last.run && last.run->end == uvq::RunEnd::Complete && last.run->fileFinished);
  QVERIFY(last.run->resends > 0);
  // The run's automatic reset took the unit out of loader mode: captured again to erase.
  QVERIFY(loader.capture());
  loader.widget<QPushButton>("BErasePRG")->click();
  QTRY_VERIFY_WITH_TIMEOUT(loader.logHas(QStringLiteral("PGM Memory Only Erased")), 5000);

  // The run's automatic reset is a row of its own when its answer was taken (a late answer is
  // set aside as out of sequence): whether it is there depends on the wire, not on recording.
  QList<QJsonObject> rows;
  QStringList seen;
  for (const QJsonObject& row : History(db)) {
    seen << row.value("operation").toString() + "/" + row.value("outcome").toString();
    if (row.value("operation").toString() == QStringLiteral("reset"))
      QCOMPARE(row.value("outcome").toString(), QStringLiteral("ok"));
    else
      rows << row;
  }
  QVERIFY2(rows.size() == 4, qPrintable(seen.join('|')));  // erase, capture, program, capture
  const QJsonObject erase = rows[0], program = rows[2], capture = rows[3];
  QCOMPARE(rows[1].value("operation").toString(), QStringLiteral("capture"));
  QCOMPARE(capture.value("operation").toString(), QStringLiteral("capture"));
  QCOMPARE(capture.value("outcome").toString(), QStringLiteral("ok"));
  QCOMPARE(capture.value("unit").toString(), QStringLiteral("0100"));
  QCOMPARE(program.value("operation").toString(), QStringLiteral("program"));
  QCOMPARE(program.value("front_end").toString(), QStringLiteral("window"));
  QCOMPARE(program.value("outcome").toString(), QStringLiteral("ok"));
  QCOMPARE(program.value("target").toString(), QStringLiteral("127.0.7.40"));
  QCOMPARE(program.value("unit").toString(), QStringLiteral("0100"));
  QCOMPARE(program.value("records").toInteger(), static_cast<qint64>(last.run->acknowledged));
  QCOMPARE(program.value("resends").toInteger(), static_cast<qint64>(last.run->resends));
  QCOMPARE(program.value("image").toString(), image);
  QCOMPARE(program.value("image_bytes").toInteger(), QFile(image).size());
  QCOMPARE(program.value("image_sha256").toString(),
           QString::fromLatin1(
               QCryptographicHash::hash(ReadFile(image), QCryptographicHash::Sha256).toHex()));
  QVERIFY(!program.value("ended").isNull());
  QCOMPARE(erase.value("operation").toString(), QStringLiteral("erase"));
  QCOMPARE(erase.value("erase_kind").toString(), QStringLiteral("program"));
  QCOMPARE(erase.value("outcome").toString(), QStringLiteral("ok"));
  // Recording that works adds nothing to the window's log.
  QVERIFY(loader.log().filter(QStringLiteral("History not recorded")).isEmpty());
  QVERIFY(loader.log().filter(QStringLiteral("history: a write failed")).isEmpty());
  QCOMPARE(loader.errorBoxes(), 0);
  loader.service().removeListener(&last);
}

void E2eHistoryTest::unusableHistoryIsSaidOnceAndTheWindowWorks() {
  QTemporaryDir dir;
  const QString notes = dir.filePath(QStringLiteral("notes.txt"));
  QVERIFY(WriteFile(notes, QByteArray("not a database, only some notes\n")));
  Sim sim(QStringLiteral("127.0.7.41"));
  QVERIFY(sim.start({}));
  Loader loader(QStringLiteral("127.0.7.41"), notes.toStdString());
  QVERIFY(loader.capture());
  QCOMPARE(loader.log().filter(QStringLiteral("History not recorded")).size(), 1);
  QCOMPARE(loader.errorBoxes(), 0);
}

QTEST_MAIN(E2eHistoryTest)
#include "E2eHistoryTest.moc"

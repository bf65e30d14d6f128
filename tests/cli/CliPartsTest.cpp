// The command line's own pieces: JSON text, target lists, unit IDs, subcommand typos, exit-code
// rules, progress texts.
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>
#include <sstream>

#include "CliOptions.h"
#include "ExitCode.h"
#include "JsonLine.h"
#include "Progress.h"
#include "TargetList.h"

using namespace uvq::cli;

class CliPartsTest : public QObject {
  Q_OBJECT

 private slots:
  void jsonStringsSurviveAParser_data() {
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<QString>("expected");
    QTest::newRow("plain") << QByteArray("UVQ ID: 0100") << QString("UVQ ID: 0100");
    QTest::newRow("quotes and backslash")
        << QByteArray(R"(C:\img "new".cry)") << QString(R"(C:\img "new".cry)");
    QTest::newRow("line breaks and tab") << QByteArray("a\nb\r\tc") << QString("a\nb\r\tc");
    QTest::newRow("control bytes")
        << QByteArray("x\x01y\x1f\x7f", 5) << QString::fromUtf8("x\x01y\x1f\x7f", 5);
    QTest::newRow("utf-8 kept") << QByteArray("Grüße €") << QString::fromUtf8("Grüße €");
    QTest::newRow("invalid utf-8 replaced") << QByteArray(
                                                   "a\xff"
                                                   "b\xc3")
                                            << QString::fromUtf8(
                                                   "a\xEF\xBF\xBD"
                                                   "b\xEF\xBF\xBD");
    QTest::newRow("overlong encoding replaced")
        << QByteArray("\xc0\xaf") << QString::fromUtf8("\xEF\xBF\xBD\xEF\xBF\xBD");
    QTest::newRow("surrogate replaced")
        << QByteArray("\xed\xa0\x80") << QString::fromUtf8("\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  }
  void jsonStringsSurviveAParser() {
    QFETCH(QByteArray, raw);
    QFETCH(QString, expected);
    JsonLine line;
    line.field("line", std::string_view(raw.constData(), static_cast<size_t>(raw.size())));
    QJsonParseError error{};
    const QJsonDocument doc =
        QJsonDocument::fromJson(QByteArray::fromStdString(line.text()), &error);
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(doc.object().value("line").toString(), expected);
  }

  void jsonNumbersAndFlags() {
    JsonLine line;
    line.field("records", int64_t{4097})
        .field("rate", 1234.5678)
        .field("bad", std::numeric_limits<double>::infinity())
        .field("ok", true);
    const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(line.text())).object();
    QCOMPARE(o.value("records").toInteger(), 4097);
    QCOMPARE(o.value("rate").toDouble(), 1234.568);
    QVERIFY(o.value("bad").isNull());
    QCOMPARE(o.value("ok").toBool(), true);
    QCOMPARE(JsonLine().text(), std::string("{}"));
  }

  void targetFileLines() {
    std::istringstream in(
        "# rig 3\n127.0.5.1\n  127.0.5.2  1a # second bay\n\n\t\r\nunit-7.local\r\n#127.0.5.9\n");
    const auto read = ReadTargetLines(in);
    const std::vector<TargetEntry> expected{
        {"127.0.5.1", {}}, {"127.0.5.2", "001A"}, {"unit-7.local", {}}};
    QCOMPARE(std::get<std::vector<TargetEntry>>(read), expected);
    for (const char* bad : {"127.0.5.1 12G4\n", "127.0.5.1 0101 extra\n"}) {
      std::istringstream line(bad);
      const auto refused = ReadTargetLines(line);
      QVERIFY2(std::holds_alternative<TargetFileError>(refused), bad);
      QVERIFY(std::get<TargetFileError>(refused).message.starts_with("line 1: "));
    }
  }

  void subcommandTypos() {
    QCOMPARE(NearestSubcommand("programm").value(), std::string("program"));
    QCOMPARE(NearestSubcommand("stauts").value(), std::string("status"));
    QCOMPARE(NearestSubcommand("setip").value(), std::string("set-ip"));
    QVERIFY(!NearestSubcommand("flash-everything"));
    QVERIFY(!NearestSubcommand("x"));
  }

  void unitIds() {
    QCOMPARE(NormalizedUnitId("12ab").value(), std::string("12AB"));
    QCOMPARE(NormalizedUnitId("7").value(), std::string("0007"));
    for (const char* bad : {"", "12345", "12G4", " 12", "0x12", "-1"})
      QVERIFY2(!NormalizedUnitId(bad), bad);
  }

  void firstFailureDecidesTheExitCode() {
    QCOMPARE(CombinedExitCode(std::vector<ExitCode>{}), ExitCode::Ok);
    QCOMPARE(CombinedExitCode(std::vector{ExitCode::Ok, ExitCode::Ok}), ExitCode::Ok);
    QCOMPARE(CombinedExitCode(std::vector{ExitCode::Ok, ExitCode::UnitError, ExitCode::NoAnswer}),
             ExitCode::UnitError);
    QCOMPARE(ToInt(ExitCode::Network), 6);
    // JSON and the run log carry identifiers, the summary words.
    QCOMPARE(OutcomeWord(ExitCode::NoAnswer), std::string_view("no_answer"));
    QCOMPARE(OutcomeText(ExitCode::NoAnswer), std::string_view("no answer"));
  }

  void timeLeftText() {
    QCOMPARE(MinutesSeconds(0), std::string("0:00"));
    QCOMPARE(MinutesSeconds(65.4), std::string("1:05"));
    QCOMPARE(MinutesSeconds(3600), std::string("60:00"));
    QCOMPARE(MinutesSeconds(NAN), std::string("--:--"));
    QCOMPARE(MinutesSeconds(-1), std::string("--:--"));
  }
};

QTEST_GUILESS_MAIN(CliPartsTest)
#include "CliPartsTest.moc"

// SPDX-License-Identifier: Apache-2.0
// The command line's own pieces: JSON text, target lists, unit IDs, subcommand typos, exit-code
// rules, progress texts.
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>
#include <iostream>
#include <sstream>

#include "CliOptions.h"
#include "CommandTable.h"
#include "ConfigFile.h"
#include "ExitCode.h"
#include "Fleet.h"
#include "HistoryCommand.h"
#include "Progress.h"
#include "RolloutView.h"
#include "jobs/UnitJob.h"
#include "reports/JsonLine.h"
#include "reports/TerminalText.h"

using namespace uvq::cli;
using namespace uvq::fleet;

namespace {

// ParseCliOptions on `words` (after the program's name), with no configuration beside the
// one a test names.
ParsedOptions Parsed(QStringList words) {
  words.prepend("uvq");
  std::vector<QByteArray> bytes;
  for (const QString& word : words) bytes.push_back(word.toUtf8());
  std::vector<char*> argv;
  for (QByteArray& word : bytes) argv.push_back(word.data());
  argv.push_back(nullptr);
  return ParseCliOptions(static_cast<int>(words.size()), argv.data());
}

// The first line ParseCliOptions wrote to standard error for `words`.
std::string ParseError(const QStringList& words) {
  std::ostringstream errors;
  std::streambuf* const stderrBuffer = std::cerr.rdbuf(errors.rdbuf());
  const ParsedOptions parsed = Parsed(words);
  std::cerr.rdbuf(stderrBuffer);
  if (parsed.options || parsed.exitCode != ExitCode::Usage) return "(accepted)";
  const std::string text = errors.str();
  return text.substr(0, text.find('\n'));
}

// A subcommand's own words as its parser receives them.
QStringList OwnWords(const CliOptions& options) {
  const std::vector<std::string>& words = options.history.command   ? options.history.commandArgs
                                          : options.serve.command   ? options.serve.commandArgs
                                          : options.rollout.command ? options.rollout.args
                                                                    : options.station.args;
  QStringList list;
  for (const std::string& word : words) list << QString::fromStdString(word);
  return list;
}

}  // namespace

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
    // Not UTF-8: each byte kept as \xHH, so the name shown is the file's exact name.
    QTest::newRow("invalid utf-8 kept as bytes") << QByteArray(
                                                        "a\xff"
                                                        "b\xc3")
                                                 << QString("a\\xFFb\\xC3");
    QTest::newRow("overlong encoding kept as bytes")
        << QByteArray("\xc0\xaf") << QString("\\xC0\\xAF");
    QTest::newRow("surrogate kept as bytes")
        << QByteArray("\xed\xa0\x80") << QString("\\xED\\xA0\\x80");
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

  void terminalTextIsEscaped() {
    // A name may neither steer the terminal nor be shown as another name.
    QCOMPARE(uvq::reports::Escaped("fw\x1b[2J.cry"), std::string("fw\\x1B[2J.cry"));
    QCOMPARE(uvq::reports::Escaped("a\nb\x7f"), std::string("a\\x0Ab\\x7F"));
    QCOMPARE(uvq::reports::Escaped("line\nnext\n", true), std::string("line\nnext\n"));
    QCOMPARE(uvq::reports::Escaped("caf\xe9.cry"),
             std::string("caf\\xE9.cry"));  // Latin-1, not UTF-8
    QCOMPARE(uvq::reports::Escaped("\xc2\x9b"
                                   "31m"),
             std::string("\\xC2\\x9B31m"));  // C1 CSI
    QCOMPARE(uvq::reports::Escaped("Grüße €"), std::string("Grüße €"));
  }

  void configurationFiles() {
    // The window's settings name the target; options are known by their long names.
    auto parsed = ParseConfigText("; comment\n[NET]\naddress = \"127.0.5.90\"\nwait-ms=1\n");
    QVERIFY(std::holds_alternative<std::string>(parsed));  // wait-ms is no [Net] key
    parsed = ParseConfigText(
        "\xEF\xBB\xBFtarget = 127.0.5.91\r\nwatchdog-ms = 8000\n# c\n[program]\nno-reset = "
        "true\n[Net]\nAddress=127.0.5.92\n");
    const auto* contents = std::get_if<ConfigContents>(&parsed);
    QVERIFY(contents);
    QCOMPARE(contents->targets, (std::vector<std::string>{"127.0.5.91", "127.0.5.92"}));
    QCOMPARE(contents->values.size(), size_t{2});
    QCOMPARE(contents->values[0].option, std::string("watchdog-ms"));
    QCOMPARE(contents->values[0].value, std::string("8000"));
    QCOMPARE(contents->values[1].subcommand, std::string("program"));
    // Whatever is not understood is named, with its line, never skipped.
    const auto problem = [](const char* text) {
      auto r = ParseConfigText(text);
      return std::holds_alternative<std::string>(r) ? std::get<std::string>(r) : std::string();
    };
    QCOMPARE(problem("wachdog-ms = 1\n"), std::string("line 1: unknown key 'wachdog-ms'"));
    QCOMPARE(problem("\n[Nett]\n"),
             std::string("line 2: unknown section [Nett] (known: [Net] and one per subcommand, "
                         "e.g. [program])"));
    QCOMPARE(problem("[scan]\nno-reset = 1\n"),
             std::string("line 2: unknown key 'no-reset' in section [scan]"));
    QCOMPARE(problem("config = other.ini\n"), std::string("line 1: unknown key 'config'"));
    QVERIFY(problem("just words\n").starts_with("line 1: expected 'key = value'"));
    // The earliest fault is named, whether it is a name the options do not know or a line that
    // cannot be read at all.
    QCOMPARE(problem("[prog]\njust words\n"),
             std::string("line 1: unknown section [prog] (known: [Net] and one per subcommand, "
                         "e.g. [program])"));
    QVERIFY(problem("a b\nwachdog-ms = 1\n").starts_with("line 1: expected 'key = value'"));
  }

  void everyOptionHasItsRowAndTypos() {
    QCOMPARE(NearestOption("--wachdog-ms").value(), std::string("--watchdog-ms"));
    QCOMPARE(NearestOption("--no-verfy").value(), std::string("--no-verify"));
    QVERIFY(!NearestOption("--flash-everything"));
    QCOMPARE(SubcommandSynopsis("program"), std::string("program FILE [--no-reset]"));
    QCOMPARE(SubcommandSynopsis("scan"), std::string("scan RANGE [--rate N]"));
  }

  // --config, --log and the other global options count after history, rollout, station and
  // serve as before them; an option those parsers take themselves stays theirs, with its value.
  void globalOptionsGoAfterEverySubcommandToo() {
    QTemporaryDir dir;
    const QString config = dir.filePath("c.ini");
    QFile file(config);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("wait-ms = 1234\n") > 0);
    file.close();
    qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());  // no user's file read instead
    const QStringList ends[][2] = {
        {{"history"}, {}},
        {{"history", "units", "--unit", "--log"}, {"units", "--unit", "--log"}},
        {{"history", "--target", "127.0.5.1", "--json"}, {"--target", "127.0.5.1", "--json"}},
        {{"serve", "--db", "h.sqlite3"}, {"--db", "h.sqlite3"}},
        {{"rollout", "list", "--target", "127.0.5.2"}, {"list", "--target", "127.0.5.2"}},
        {{"station", "a.cry", "--range", "127.0.5.1-127.0.5.2", "-q"},
         {"a.cry", "--range", "127.0.5.1-127.0.5.2", "-q"}},
    };
    for (const auto& [words, own] : ends) {
      for (const QStringList& globals :
           {QStringList{"--config", config, "--log", "run.log"},
            QStringList{"--config=" + config, "--beep", "--log=run.log"}}) {
        const ParsedOptions parsed = Parsed(words + globals);
        const QString what = (words + globals).join(' ');
        QVERIFY2(parsed.options, qPrintable(what));
        QCOMPARE(parsed.options->configFile, config.toStdString());
        QCOMPARE(parsed.options->logFile, std::string("run.log"));
        QCOMPARE(parsed.options->plan.waitMs, 1234);  // the file was read
        QCOMPARE(OwnWords(*parsed.options), own);
        QVERIFY2(parsed.options->targets.empty(), qPrintable(what));
      }
    }
    qunsetenv("XDG_CONFIG_HOME");
  }

  // An outcome word the history never holds is refused with the known ones, from the outcome
  // table; a known one (and "abandoned") is taken.
  void historyRefusesAnUnknownOutcome() {
    QTemporaryDir dir;
    CliOptions options;
    options.history.command = true;
    options.history.db = dir.filePath("h.sqlite3").toStdString();
    std::ostringstream errors;
    std::streambuf* const stderrBuffer = std::cerr.rdbuf(errors.rdbuf());
    options.history.commandArgs = {"--outcome", "bogus"};
    const int refused = RunHistoryCommand(options);
    options.history.commandArgs = {"--outcome", "abandoned"};
    const int abandoned = RunHistoryCommand(options);
    options.history.commandArgs = {"--outcome", "no_answer"};
    const int known = RunHistoryCommand(options);
    std::cerr.rdbuf(stderrBuffer);
    QCOMPARE(refused, 2);
    QCOMPARE(
        errors.str(),
        std::string("uvq: history: --outcome takes one of ok, internal_error, bad_usage, "
                    "file_error, no_answer, unit_error, network_error, history_error, "
                    "rollout_held, claim_lost, interrupted, abandoned, running, not 'bogus'\n"));
    QCOMPARE(abandoned, 0);
    QCOMPARE(known, 0);
  }

  // Below a subcommand with its own parser, a mistyped option is named with the nearest one and
  // a repeated one is said plainly, as before any subcommand; --target stays repeatable.
  void optionSlipsBelowEverySubcommand() {
    qputenv("XDG_CONFIG_HOME", QByteArray("/nonexistent"));
    QCOMPARE(ParseError({"history", "--outcom", "ok"}),
             std::string("uvq: unknown option '--outcom'; did you mean '--outcome'?"));
    QCOMPARE(ParseError({"serve", "--listn", "127.0.0.1:1"}),
             std::string("uvq: unknown option '--listn'; did you mean '--listen'?"));
    QCOMPARE(ParseError({"station", "a.cry", "--rnage", "127.0.5.1-127.0.5.2"}),
             std::string("uvq: unknown option '--rnage'; did you mean '--range'?"));
    QCOMPARE(ParseError({"history", "--limit", "1", "--limit", "2"}),
             std::string("uvq: --limit is given more than once; give it once"));
    QCOMPARE(ParseError({"--wait-ms", "5", "locate", "--wait-ms=6"}),
             std::string("uvq: --wait-ms is given more than once; give it once"));
    QCOMPARE(ParseError({"rollout", "list", "--db", "a", "--db", "b"}),
             std::string("uvq: --db is given more than once; give it once"));
    // A value is no option, whatever it looks like; flags and --target may repeat.
    QCOMPARE(ParseError({"history", "--station", "--limit", "--limit", "2"}),
             std::string("(accepted)"));
    QCOMPARE(ParseError({"--target", "127.0.5.1", "--target", "127.0.5.2", "-q", "-q", "locate"}),
             std::string("(accepted)"));
    qunsetenv("XDG_CONFIG_HOME");
  }

  // `uvq help SUBCOMMAND [WORDS]` answers as `uvq SUBCOMMAND [WORDS] --help` for every
  // subcommand with its own parser; the man page and the completion know them all.
  void helpManPageAndCompletionCoverEverySubcommand() {
    const ParsedOptions rollout = Parsed({"help", "rollout", "create"});
    QVERIFY(rollout.options && rollout.options->rollout.command);
    QCOMPARE(rollout.options->rollout.args, (std::vector<std::string>{"create", "--help"}));
    const ParsedOptions history = Parsed({"help", "history"});
    QVERIFY(history.options && history.options->history.command);
    QCOMPARE(history.options->history.commandArgs, std::vector<std::string>{"--help"});
    QVERIFY(Parsed({"help", "serve"}).options->serve.command);
    QVERIFY(Parsed({"help", "station"}).options->station.command);
    QCOMPARE(ParseError({"help", "program", "foo"}), std::string("uvq: no help on 'program foo'"));

    const std::string man = ManPageSections();
    const std::string completion = BashCompletionScript();
    for (const OptionRow& row : kOptionRows) {
      if (row.subcommand.empty()) continue;
      const std::string subcommand(row.subcommand);
      std::string roff;  // every '-' escaped
      for (char c : subcommand) roff += c == '-' ? std::string("\\-") : std::string(1, c);
      QVERIFY2(man.find("\\fB" + roff + "\\fR") != std::string::npos, subcommand.c_str());
      QVERIFY2(completion.find(" " + subcommand + " ") != std::string::npos, subcommand.c_str());
      if (!row.names.starts_with("--")) continue;
      QVERIFY2(SubcommandSynopsis(subcommand).find(std::string(row.names)) != std::string::npos,
               std::string(row.names).c_str());
    }
    QVERIFY(completion.find("serve) options+=' --listen --allow-actions --token-file'") !=
            std::string::npos);
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

  // A station's run of a rollout: a refusal's code first, then a signal's, then held (paused or
  // cancelled), then the units' (stopped by a threshold or a unit that failed here).
  void rolloutRunCodes() {
    using uvq::rollouts::RolloutState;
    RolloutRunResult r;
    r.joined = true;
    r.state = RolloutState::Done;
    QCOMPARE(CodeOf(r), ExitCode::Ok);
    r.outcome = uvq::jobs::JobOutcome::UnitError;
    QCOMPARE(CodeOf(r), ExitCode::UnitError);
    r.state = RolloutState::Cancelled;
    QCOMPARE(CodeOf(r), ExitCode::Held);
    r.stoppedBy = StopCause::Terminate;
    QCOMPARE(CodeOf(r), ExitCode::Terminated);
    r.refusal = RolloutRunResult::Refusal::History;
    QCOMPARE(CodeOf(r), ExitCode::History);
    r.refusal = RolloutRunResult::Refusal::Image;
    QCOMPARE(CodeOf(r), ExitCode::File);
    r.refusal = RolloutRunResult::Refusal::NoSuchRollout;
    QCOMPARE(CodeOf(r), ExitCode::Usage);
  }

  // A rollout unit whose last attempt failed is said as failed, with the rollout's way to put it
  // back instead of a plain run's advice, and its status once.
  void rolloutFailureLineSaysHowToPutTheUnitBack() {
    std::FILE* lines = std::tmpfile();
    QVERIFY(lines);
    {
      Output output{lines, Output::Mode::Text, Verbosity::Normal, true};
      RolloutView view(RolloutView::Style::Lines, "fw-2", output);
      SessionResult result;
      result.outcome = uvq::jobs::JobOutcome::NoAnswer;
      result.detail =
          "comms timeout while programming: 10 of 20 records, unit 0100 stopped "
          "answering; check its power and link, then " +
          std::string(uvq::jobs::kRunAgainAdvice);
      result.unit = "0100";
      result.finalStatus = 0x4000;
      uvq::rollouts::AttemptVerdict verdict;
      verdict.progress = uvq::rollouts::UnitProgress::Failed;
      uvq::rollouts::Claim claim;
      claim.position = 3;
      claim.target = "127.0.70.6";
      view.unitEnded(claim, result, uvq::rollouts::AttemptEnd::Retryable, verdict);
      std::fflush(lines);
    }
    std::rewind(lines);
    char buffer[1024] = "";
    const size_t read = std::fread(buffer, 1, sizeof buffer - 1, lines);
    std::fclose(lines);
    const std::string text(buffer, read);
    QVERIFY2(text.find("] failed (unit 0100): comms timeout") != std::string::npos, text.c_str());
    QVERIFY2(text.find("program again") == std::string::npos, text.c_str());
    QVERIFY2(text.find("uvq rollout retry fw-2 --failed") != std::string::npos, text.c_str());
    QVERIFY2(text.find("4000") != std::string::npos, text.c_str());
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

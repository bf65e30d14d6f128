// SPDX-License-Identifier: Apache-2.0
// The strict INI reader of configuration files: what it hands back, and the first line it
// cannot read, named by its number.
#include <QTest>

#include <string>

#include "settings/IniText.h"

using uvq::settings::IniText;
using uvq::settings::ReadIniText;

class IniTextTest : public QObject {
  Q_OBJECT

 private slots:
  void linesInOrderWithTheirSections() {
    const IniText ini = ReadIniText(
        "\xEF\xBB\xBF; comment\r\n  Watchdog-MS =  8000 \r\n\n# other\n[ Program ]\nname='a b'\n"
        "empty =\nquoted = \"x'\n[Net]\nAddress=\"127.0.5.92\"");
    QVERIFY2(ini.problem.empty(), ini.problem.c_str());
    QCOMPARE(ini.lines.size(), size_t{7});
    QCOMPARE(ini.lines[0].number, 2);
    QCOMPARE(ini.lines[0].section, std::string());
    QCOMPARE(ini.lines[0].key, std::string("watchdog-ms"));
    QCOMPARE(ini.lines[0].value, std::string("8000"));
    QVERIFY(ini.lines[1].header);
    QCOMPARE(ini.lines[1].number, 5);
    QCOMPARE(ini.lines[1].section, std::string("Program"));  // as written, for messages
    QCOMPARE(ini.lines[2].section, std::string("Program"));
    QCOMPARE(ini.lines[2].value, std::string("a b"));
    QCOMPARE(ini.lines[3].value, std::string());
    QCOMPARE(ini.lines[4].value, std::string("\"x'"));  // quotes that do not pair stay
    QVERIFY(ini.lines[5].header);
    QCOMPARE(ini.lines[6].section, std::string("Net"));
    QCOMPARE(ini.lines[6].key, std::string("address"));
    QCOMPARE(ini.lines[6].value, std::string("127.0.5.92"));  // the last line needs no LF
  }

  // What cannot be read is never skipped: the reader stops there, keeping the lines before it
  // (a caller checks those first, so the earliest fault is the one named).
  void theFirstUnreadableLineIsNamed() {
    IniText ini = ReadIniText("a = 1\n[net\nb = 2\n");
    QCOMPARE(ini.problem, std::string("line 2: unclosed section header '[net'"));
    QCOMPARE(ini.lines.size(), size_t{1});
    ini = ReadIniText("a = 1\r\n\r\njust words\r\nb = 2\r\n");
    QCOMPARE(ini.problem,
             std::string("line 3: expected 'key = value' or '[section]', found 'just words'"));
    QCOMPARE(ini.lines.size(), size_t{1});
    QVERIFY(ReadIniText("").problem.empty());
    QVERIFY(ReadIniText("").lines.empty());
  }
};

QTEST_GUILESS_MAIN(IniTextTest)
#include "IniTextTest.moc"

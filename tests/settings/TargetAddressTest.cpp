// SPDX-License-Identifier: Apache-2.0
#include <QTest>

#include <optional>
#include <string>

#include "settings/TargetAddress.h"

using uvq::settings::AddressParts;
using uvq::settings::JoinAddress;
using uvq::settings::SplitAddress;
using uvq::settings::StepPart;

Q_DECLARE_METATYPE(AddressParts)

namespace {

std::optional<std::string> S(const char* text) {
  return std::string(text);
}
constexpr std::nullopt_t N = std::nullopt;

}  // namespace

class TargetAddressTest : public QObject {
  Q_OBJECT

 private slots:
  void split_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<AddressParts>("expected");
    QTest::newRow("four parts") << "192.168.1.214"
                                << AddressParts{S("192"), S("168"), S("1"), S("214")};
    QTest::newRow("host name") << "unitname" << AddressParts{N, N, N, N};
    QTest::newRow("empty") << "" << AddressParts{N, N, N, N};
    QTest::newRow("one dot") << "host.local" << AddressParts{S("host"), N, N, N};
    QTest::newRow("two dots") << "a.b.c" << AddressParts{S("a"), S("b"), N, N};
    QTest::newRow("extra dots in last part")
        << "10.0.0.1.5" << AddressParts{S("10"), S("0"), S("0"), S("1.5")};
    QTest::newRow("trailing dot unseen") << "10.0.0." << AddressParts{S("10"), S("0"), N, N};
    QTest::newRow("leading dot") << ".1.2.3" << AddressParts{S(""), S("1"), S("2"), S("3")};
    QTest::newRow("adjacent dots") << "1..2.3" << AddressParts{S("1"), S(""), S("2"), S("3")};
    QTest::newRow("only dot") << "." << AddressParts{N, N, N, N};
    QTest::newRow("digit then dot") << "1." << AddressParts{N, N, N, N};
    QTest::newRow("third dot before last char")
        << "1.2.3.4" << AddressParts{S("1"), S("2"), S("3"), S("4")};
    QTest::newRow("dots only") << "...." << AddressParts{S(""), S(""), S(""), S(".")};
  }

  void split() {
    QFETCH(QString, text);
    QFETCH(AddressParts, expected);
    const AddressParts parts = SplitAddress(text.toStdString());
    for (size_t i = 0; i < parts.size(); ++i) {
      QVERIFY2(
          parts[i] == expected[i],
          qPrintable(QString("part %1 is '%2'")
                         .arg(i + 1)
                         .arg(parts[i] ? QString::fromStdString(*parts[i]) : QString("(none)"))));
    }
  }

  void step_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("up");
    QTest::addColumn<QString>("expected");
    QTest::newRow("up") << "1" << true << "2";
    QTest::newRow("down") << "1" << false << "0";
    QTest::newRow("up to the top") << "254" << true << "255";
    QTest::newRow("up stops at 255") << "255" << true << "255";
    QTest::newRow("down stops at 0") << "0" << false << "0";
    QTest::newRow("above range only goes down") << "300" << false << "299";
    QTest::newRow("above range stays on up") << "300" << true << "300";
    QTest::newRow("below range only goes up") << "-4" << true << "-3";
    QTest::newRow("below range stays on down") << "-4" << false << "-4";
    QTest::newRow("leading zeros") << "007" << true << "8";
    QTest::newRow("leading blank") << " 12" << true << "13";
    QTest::newRow("hex with dollar") << "$1F" << true << "32";
    QTest::newRow("hex with 0x") << "0x10" << false << "15";
    QTest::newRow("plus sign") << "+9" << true << "10";
    QTest::newRow("hex wraps negative") << "$FFFFFFFF" << true << "0";
    QTest::newRow("lowest integer down") << "-2147483648" << false << "-2147483648";
  }

  void step() {
    QFETCH(QString, text);
    QFETCH(bool, up);
    QFETCH(QString, expected);
    const auto result = StepPart(text.toStdString(), up);
    QVERIFY2(result.value.has_value(), result.error.c_str());
    QCOMPARE(QString::fromStdString(*result.value), expected);
    QVERIFY(result.error.empty());
  }

  void stepRefusesNonIntegers_data() {
    QTest::addColumn<QString>("text");
    QTest::newRow("trailing blank") << "12 ";
    QTest::newRow("empty") << "";
    QTest::newRow("letters") << "abc";
    QTest::newRow("too large") << "4294967296";
    QTest::newRow("dotted") << "1.5";
  }

  void stepRefusesNonIntegers() {
    QFETCH(QString, text);
    for (bool up : {true, false}) {
      const auto result = StepPart(text.toStdString(), up);
      QVERIFY(!result.value.has_value());
      QCOMPARE(QString::fromStdString(result.error), "'" + text + "' is not a valid integer value");
    }
  }

  void join() {
    QCOMPARE(JoinAddress("127", "0", "3", "1"), std::string("127.0.3.1"));
    QCOMPARE(JoinAddress("", "", "", ""), std::string("..."));
    QCOMPARE(JoinAddress(" 1", "x", "1.5", "007"), std::string(" 1.x.1.5.007"));
  }

  void splitThenJoinKeepsFourPartAddresses() {
    for (const char* text : {"127.0.3.2", "10.0.0.1.5", ".1.2.3"}) {
      const AddressParts parts = SplitAddress(text);
      QCOMPARE(JoinAddress(*parts[0], *parts[1], *parts[2], *parts[3]), std::string(text));
    }
  }
};

QTEST_GUILESS_MAIN(TargetAddressTest)
#include "TargetAddressTest.moc"

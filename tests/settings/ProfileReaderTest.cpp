// SPDX-License-Identifier: Apache-2.0
#include <QTemporaryDir>
#include <QTest>

#include <fstream>
#include <string>

#include "settings/ProfileReader.h"

using uvq::settings::FindProfileString;
using uvq::settings::ReadProfileString;

namespace {

std::string Address(const std::string& text) {
  return FindProfileString(text, "Net", "Address", "default");
}

}  // namespace

class ProfileReaderTest : public QObject {
  Q_OBJECT

 private slots:
  void lookup_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("expected");
    auto row = [](const char* name, const char* text, const char* expected) {
      QTest::newRow(name) << QByteArray(text) << QByteArray(expected);
    };
    row("plain", "[Net]\nAddress=127.0.0.1\n", "127.0.0.1");
    row("empty file", "", "default");
    row("section missing", "[Other]\nAddress=127.0.0.1\n", "default");
    row("key missing", "[Net]\nPort=5\n", "default");
    row("key before any section", "Address=127.0.0.1\n[Net]\n", "default");
    row("key in another section", "[Net]\nX=1\n[Other]\nAddress=127.0.0.1\n", "default");
    row("empty value is not the default", "[Net]\nAddress=\n", "");
    row("empty quoted value", "[Net]\nAddress=\"\"\n", "");
    row("section name case", "[nET]\nAddress=127.0.0.2\n", "127.0.0.2");
    row("key name case", "[Net]\naDDRESS=127.0.0.3\n", "127.0.0.3");
    row("value case kept", "[Net]\nAddress=Host.Name\n", "Host.Name");
    row("blanks around section name", "  [ Net\t]  \nAddress=127.0.0.4\n", "127.0.0.4");
    row("blanks around key and value", "[Net]\n\t Address \t=  127.0.0.5 \t\n", "127.0.0.5");
    row("double quotes", "[Net]\nAddress=\"127.0.0.6\"\n", "127.0.0.6");
    row("single quotes", "[Net]\nAddress='127.0.0.7'\n", "127.0.0.7");
    row("quotes keep inner blanks", "[Net]\nAddress=\" 127.0.0.8 \"\n", " 127.0.0.8 ");
    row("quotes outside blanks", "[Net]\nAddress=  '127.0.0.9'  \n", "127.0.0.9");
    row("mismatched quotes kept", "[Net]\nAddress=\"127.0.0.10'\n", "\"127.0.0.10'");
    row("lone quote kept", "[Net]\nAddress=\"\n", "\"");
    row("opening quote only kept", "[Net]\nAddress=\"127.0.0.11\n", "\"127.0.0.11");
    row("first key wins", "[Net]\nAddress=127.0.0.12\nAddress=127.0.0.13\n", "127.0.0.12");
    row("first section wins", "[Net]\nAddress=127.0.0.14\n[NET]\nAddress=127.0.0.15\n",
        "127.0.0.14");
    row("duplicate section not searched", "[Net]\nX=1\n[Other]\n[net]\nAddress=127.0.0.16\n",
        "default");
    row("CR LF lines", "[Net]\r\nAddress=127.0.0.17\r\nX=2\r\n", "127.0.0.17");
    row("no final newline", "[Net]\nAddress=127.0.0.18", "127.0.0.18");
    row("CR LF without final newline", "[Net]\r\nAddress=127.0.0.19\r", "127.0.0.19");
    row("comment line skipped", "[Net]\n;Address=127.0.0.20\nAddress=127.0.0.21\n", "127.0.0.21");
    row("indented comment skipped", "[Net]\n  ; Address=1\nAddress=127.0.0.22\n", "127.0.0.22");
    row("commented section header", ";[Net]\nAddress=1\n[Net]\nAddress=127.0.0.23\n", "127.0.0.23");
    row("line without equals skipped", "[Net]\nAddress\nAddress=127.0.0.24\n", "127.0.0.24");
    row("line without equals alone", "[Net]\nAddress\n", "default");
    row("value keeps further equals", "[Net]\nAddress=a=b\n", "a=b");
    row("value keeps semicolon", "[Net]\nAddress=127.0.0.25 ; note\n", "127.0.0.25 ; note");
    row("UTF-8 byte-order mark", "\xEF\xBB\xBF[Net]\nAddress=127.0.0.26\n", "127.0.0.26");
    row("blank lines", "\n\n[Net]\n\n\nAddress=127.0.0.27\n", "127.0.0.27");
    row("key prefix does not match", "[Net]\nAddressX=1\nAddres=2\n", "default");
    row("section prefix does not match", "[Network]\nAddress=1\n", "default");
    row("section header without bracket", "[Net\nAddress=127.0.0.28\n", "127.0.0.28");
  }

  void lookup() {
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, expected);
    QCOMPARE(QByteArray::fromStdString(Address(text.toStdString())), expected);
  }

  void byteOrderMarkOnlyAtStart() {
    // A mark in the middle of the file is part of that line, so the name no longer matches.
    QCOMPARE(Address("[Other]\n\xEF\xBB\xBF[Net]\nAddress=1\n"), std::string("default"));
  }

  void longValuesAreCut() {
    const std::string exact(2047, 'a');
    QCOMPARE(Address("[Net]\nAddress=" + exact + "\n"), exact);
    const std::string longer = std::string(2047, 'b') + "cdef";
    QCOMPARE(Address("[Net]\nAddress=" + longer + "\n"), std::string(2047, 'b'));
    // Quotes are removed before the cut, so they do not use up the allowance.
    QCOMPARE(Address("[Net]\nAddress=\"" + longer + "\"\n"), std::string(2047, 'b'));
  }

  void readsFromFile() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const std::string path = dir.filePath("tool.INI").toStdString();
    std::ofstream(path, std::ios::binary) << "[Net]\r\nAddress = '127.0.1.1'\r\n";
    QCOMPARE(ReadProfileString(path, "net", "address", "d"), std::string("127.0.1.1"));
    QCOMPARE(ReadProfileString(path, "Net", "Port", "d"), std::string("d"));
  }

  void unreadableFileGivesDefault() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QCOMPARE(ReadProfileString(dir.filePath("missing.INI").toStdString(), "Net", "Address", "d"),
             std::string("d"));
    // A directory is not a file to read.
    QCOMPARE(ReadProfileString(dir.path().toStdString(), "Net", "Address", "d"), std::string("d"));
  }
};

QTEST_GUILESS_MAIN(ProfileReaderTest)
#include "ProfileReaderTest.moc"

#include <QTemporaryDir>
#include <QTest>

#include <filesystem>
#include <fstream>
#include <string>

#include "settings/SettingsFile.h"

using uvq::settings::ExecutablePath;
using uvq::settings::ReadTargetAddress;
using uvq::settings::SettingsPathFor;

class SettingsFileTest : public QObject {
  Q_OBJECT

 private slots:
  void settingsPath_data() {
    QTest::addColumn<QString>("executable");
    QTest::addColumn<QString>("expected");
    QTest::newRow("no extension") << "build/uvq-loader"
                                  << "build/uvq-loader.INI";
    QTest::newRow("extension replaced") << "/opt/tool/loader.exe"
                                        << "/opt/tool/loader.INI";
    QTest::newRow("last dot wins") << "/opt/loader.v2.bin"
                                   << "/opt/loader.v2.INI";
    QTest::newRow("dot in folder only") << "/opt/tool.d/loader"
                                        << "/opt/tool.d/loader.INI";
    QTest::newRow("bare name") << "loader"
                               << "loader.INI";
    QTest::newRow("bare name with extension") << "loader.exe"
                                              << "loader.INI";
    QTest::newRow("trailing dot") << "/opt/loader."
                                  << "/opt/loader.INI";
  }

  void settingsPath() {
    QFETCH(QString, executable);
    QFETCH(QString, expected);
    QCOMPARE(QString::fromStdString(SettingsPathFor(executable.toStdString())), expected);
  }

  void executablePathIsThisProgram() {
    const std::string path = ExecutablePath();
    QVERIFY(std::filesystem::path(path).is_absolute());
    QCOMPARE(std::filesystem::path(path).filename().string(),
             QCoreApplication::applicationFilePath().section('/', -1).toStdString());
  }

  void addressFromFileBesideExecutable() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const std::string exe = dir.filePath("uvq-loader").toStdString();
    std::ofstream(exe + ".INI") << "[Net]\nAddress=127.0.2.1\n";
    QCOMPARE(ReadTargetAddress(exe), std::string("127.0.2.1"));
  }

  void defaultAddressWhenNothingSays() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const std::string exe = dir.filePath("loader.bin").toStdString();
    QCOMPARE(ReadTargetAddress(exe), std::string("192.168.1.214"));  // no file
    std::ofstream(dir.filePath("loader.INI").toStdString()) << "[Other]\nAddress=127.0.2.2\n";
    QCOMPARE(ReadTargetAddress(exe), std::string("192.168.1.214"));  // no section
    std::ofstream(dir.filePath("loader.INI").toStdString()) << "[Net]\nPort=1\n";
    QCOMPARE(ReadTargetAddress(exe), std::string("192.168.1.214"));  // no key
    std::ofstream(dir.filePath("loader.INI").toStdString()) << "[Net]\nAddress=\n";
    QCOMPARE(ReadTargetAddress(exe), std::string());  // key present, empty
  }

  void emptyExecutablePathDoesNotReadWorkingFolder() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path().toStdString());
    std::ofstream(".INI") << "[Net]\nAddress=127.0.2.3\n";
    const std::string address = ReadTargetAddress("");
    std::filesystem::current_path(previous);
    QCOMPARE(address, std::string("192.168.1.214"));
  }
};

QTEST_GUILESS_MAIN(SettingsFileTest)
#include "SettingsFileTest.moc"

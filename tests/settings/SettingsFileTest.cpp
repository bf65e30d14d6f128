// SPDX-License-Identifier: Apache-2.0
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "settings/SettingsFile.h"
#include "settings/SettingsFileText.h"

using uvq::settings::ExecutablePath;
using uvq::settings::ReadSettingsFileText;
using uvq::settings::ReadTargetAddress;
using uvq::settings::ReadTargetSetting;
using uvq::settings::ReadTargetSettingFrom;
using uvq::settings::SettingsPathFor;
using uvq::settings::SettingsSearchPaths;
using uvq::settings::TargetSetting;
using uvq::settings::TargetSettingNotice;

namespace {

void Write(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// The plain file lookup on a file that must not be read.
std::string ReadProfileStringOrDefault(const std::string& path) {
  return uvq::settings::ReadProfileString(path, "Net", "Address", "d");
}

}  // namespace

// Every case works in its own temporary folders; XDG_CONFIG_HOME points into one of them and the
// system folder is passed in, so nothing outside is read.
class SettingsFileTest : public QObject {
  Q_OBJECT

  QTemporaryDir scratch_;
  std::string userConfig_;  // what XDG_CONFIG_HOME names
  std::string system_;      // stands in for /etc/uvq

  std::string Scratch(const std::string& name) {
    return scratch_.filePath(QString::fromStdString(name)).toStdString();
  }

 private slots:
  void initTestCase() {
    QVERIFY(scratch_.isValid());
    userConfig_ = Scratch("config");
    system_ = Scratch("etc-uvq");
    QCOMPARE(::setenv("XDG_CONFIG_HOME", userConfig_.c_str(), 1), 0);
  }

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
    const TargetSetting setting = ReadTargetSetting(exe, system_);
    QCOMPARE(setting.address, std::string("127.0.2.1"));
    QCOMPARE(setting.path, exe + ".INI");
    QVERIFY(!setting.fellBack);
    QVERIFY(!TargetSettingNotice(setting));
    QCOMPARE(ReadTargetAddress(exe), std::string("127.0.2.1"));
  }

  void defaultAddressWhenNothingSays() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const std::string exe = dir.filePath("loader.bin").toStdString();
    const auto address = [&] { return ReadTargetSetting(exe, system_).address; };
    const TargetSetting none = ReadTargetSetting(exe, system_);
    QCOMPARE(none.address, std::string("192.168.1.214"));  // no file
    QVERIFY(none.path.empty());
    QVERIFY(!TargetSettingNotice(none));  // the usual case stays silent
    std::ofstream(dir.filePath("loader.INI").toStdString()) << "[Other]\nAddress=127.0.2.2\n";
    QCOMPARE(address(), std::string("192.168.1.214"));  // no section
    std::ofstream(dir.filePath("loader.INI").toStdString()) << "[Net]\nPort=1\n";
    QCOMPARE(address(), std::string("192.168.1.214"));  // no key
    std::ofstream(dir.filePath("loader.INI").toStdString()) << "[Net]\nAddress=\n";
    QCOMPARE(address(), std::string());  // key present, empty
  }

  void fileThatNamesNoAddressFallsBackAndSaysSo_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("problem");
    QTest::newRow("no section") << QByteArray("[Other]\nAddress=127.0.2.4\n") << "no [Net] Address";
    QTest::newRow("binary junk") << QByteArray("\x00\x9f\xff[\x01=\x02\n\x00", 10)
                                 << "no [Net] Address";
    QTest::newRow("UTF-16") << QByteArray(
                                   "\xff\xfe[\0N\0e\0t\0]\0\n\0A\0=\0"
                                   "1\0",
                                   20)
                            << "no [Net] Address (the file is UTF-16; save it as UTF-8)";
  }
  void fileThatNamesNoAddressFallsBackAndSaysSo() {
    QFETCH(QByteArray, text);
    QFETCH(QString, problem);
    const std::string path = Scratch("noaddress.INI");
    Write(path, text.toStdString());
    const TargetSetting setting = ReadTargetSettingFrom({path});
    QCOMPARE(setting.address, std::string("192.168.1.214"));
    QVERIFY(setting.fellBack);
    QCOMPARE(setting.path, path);
    QCOMPARE(QString::fromStdString(setting.problem), problem);
    QCOMPARE(
        QString::fromStdString(TargetSettingNotice(setting).value_or("")),
        "Settings file " + QString::fromStdString(path) + ": " + problem + ", using 192.168.1.214");
  }

  void onlyBoundedRegularFilesAreRead() {
    // A FIFO with no writer would block the open, then the read, for ever.
    const std::string fifo = Scratch("fifo.INI");
    QCOMPARE(::mkfifo(fifo.c_str(), 0600), 0);
    // /dev/zero never ends: reading it to the end exhausts memory.
    const std::string zeros = Scratch("zeros.INI");
    std::filesystem::create_symlink("/dev/zero", zeros);
    // 1 GiB, sparse: it must be refused from its size, not read.
    const std::string huge = Scratch("huge.INI");
    Write(huge, "[Net]\nAddress=127.0.2.5\n");
    QCOMPARE(::truncate(huge.c_str(), off_t{1} << 30), 0);
    const struct {
      std::string path;
      std::string problem;
    } refused[] = {{fifo, "is not a regular file"},
                   {zeros, "is not a regular file"},
                   {scratch_.path().toStdString(), "is not a regular file"},
                   {huge, "is larger than 1 MiB"}};
    for (const auto& [path, problem] : refused) {
      const TargetSetting setting = ReadTargetSettingFrom({path, Scratch("never-reached.INI")});
      QCOMPARE(setting.address, std::string("192.168.1.214"));
      QVERIFY(setting.fellBack);
      QCOMPARE(setting.path, path);
      QCOMPARE(setting.problem, problem);
      QCOMPARE(ReadProfileStringOrDefault(path), std::string("d"));
    }

    // Exactly the limit is still read.
    const std::string full = Scratch("full.INI");
    std::string text = "[Net]\nAddress=127.0.2.6\n";
    text.resize(uvq::settings::kMaxSettingsFileSize, ';');
    Write(full, text);
    QCOMPARE(ReadTargetSettingFrom({full}).address, std::string("127.0.2.6"));
  }

  void limitCountsBytesAndMissingFilesAreToldApart() {
    const std::string path = Scratch("ten.INI");
    Write(path, "0123456789");
    QCOMPARE(ReadSettingsFileText(path, 10).text, std::string("0123456789"));
    QVERIFY(ReadSettingsFileText(path, 10).problem.empty());
    QCOMPARE(ReadSettingsFileText(path, 9).problem, std::string("is larger than 9 bytes"));
    QVERIFY(ReadSettingsFileText(path, 9).text.empty());
    const auto missing = ReadSettingsFileText(Scratch("missing.INI"));
    QVERIFY(missing.missing);
    QCOMPARE(missing.problem, std::string(std::strerror(ENOENT)));
  }

  void searchGoesBesideThenUserThenSystem() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const std::string exe = dir.filePath("uvq-loader").toStdString();
    const std::string user = userConfig_ + "/uvq/uvq-loader.ini";
    const std::string system = system_ + "/uvq-loader.ini";
    QCOMPARE(SettingsSearchPaths(exe, "uvq-loader", system_),
             (std::vector<std::string>{exe + ".INI", user, system}));
    // Any program: the command line's file is uvq.ini.
    QCOMPARE(SettingsSearchPaths("/usr/bin/uvq", "uvq", "/etc/uvq").back(),
             std::string("/etc/uvq/uvq.ini"));

    const auto from = [&] { return ReadTargetSetting(exe, system_); };
    Write(system, "[Net]\nAddress=127.0.2.7\n");
    QCOMPARE(from().address, std::string("127.0.2.7"));
    QCOMPARE(from().path, system);
    Write(user, "[Net]\nAddress=127.0.2.8\n");
    QCOMPARE(from().address, std::string("127.0.2.8"));
    Write(exe + ".INI", "[Net]\nAddress=127.0.2.9\n");
    QCOMPARE(from().address, std::string("127.0.2.9"));
    // The first file found is the settings file, even when it names no address.
    Write(exe + ".INI", "[Net]\n");
    QVERIFY(from().fellBack);
    QCOMPARE(from().path, exe + ".INI");
    std::filesystem::remove(user);
    std::filesystem::remove(system);
  }

  void userFolderDefaultsToHomeConfig() {
    const std::string home = Scratch("home");
    const QByteArray savedHome = qgetenv("HOME");
    QCOMPARE(::setenv("HOME", home.c_str(), 1), 0);
    const std::string expected = home + "/.config/uvq/tool.ini";
    for (const char* xdg : {"", "relative/config"}) {
      QCOMPARE(::setenv("XDG_CONFIG_HOME", xdg, 1), 0);
      QCOMPARE(SettingsSearchPaths("", "tool", system_)[0], expected);
    }
    QCOMPARE(::unsetenv("XDG_CONFIG_HOME"), 0);
    Write(expected, "[Net]\nAddress=127.0.2.10\n");
    QCOMPARE(ReadTargetSetting(Scratch("bin/tool"), system_).address, std::string("127.0.2.10"));
    // Without a usable home folder only the system folder is left.
    QCOMPARE(::unsetenv("HOME"), 0);
    QCOMPARE(SettingsSearchPaths("", "tool", system_),
             std::vector<std::string>{system_ + "/tool.ini"});
    qputenv("HOME", savedHome);
    QCOMPARE(::setenv("XDG_CONFIG_HOME", userConfig_.c_str(), 1), 0);
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

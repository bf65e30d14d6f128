// SPDX-License-Identifier: Apache-2.0
// What the command line checks before anything is sent, and what it keeps after: targets
// resolved once, image files, per-unit locks, the run log, and output whose reader went away.
#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include "CliOptions.h"
#include "ConfigFile.h"
#include "Fleet.h"
#include "Output.h"
#include "fleet/RunLog.h"
#include "locks/UnitLock.h"

using namespace uvq::cli;
using namespace uvq::fleet;
using namespace uvq::locks;
using uvq::fleet::AppendRunLog;

namespace {

ResolvedTarget Resolved(const std::string& text, std::optional<std::string> id = {}) {
  auto r = ResolveTarget({text, std::move(id)});
  if (auto* error = std::get_if<TargetError>(&r)) qFatal("%s", error->message.c_str());
  return std::get<ResolvedTarget>(r);
}

std::string WriteBytes(const QTemporaryDir& dir, const char* name, qsizetype size) {
  QFile f(dir.filePath(name));
  if (!f.open(QIODevice::WriteOnly) || f.write(QByteArray(size, 'x')) != size) qFatal("write");
  return f.fileName().toStdString();
}

QJsonObject ParseObject(const std::string& text) {
  QJsonParseError error{};
  const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error);
  if (error.error != QJsonParseError::NoError) qFatal("bad JSON: %s", text.c_str());
  return doc.object();
}

}  // namespace

class CliChecksTest : public QObject {
  Q_OBJECT

 private slots:
  void addressesAreDecimal() {
    QCOMPARE(Resolved("127.000.000.016").addressText, std::string("127.0.0.16"));
    QCOMPARE(Resolved("127.0.0.16").address.s_addr, htonl(0x7F000010));
    for (const char* bad : {"999.1.1.1", "10.1.1", "1.2.3.4.5", "1..2.3", "1.2.3.0256"}) {
      const auto r = ResolveTarget({bad, {}});
      QVERIFY2(std::holds_alternative<TargetError>(r), bad);
      QCOMPARE(std::get<TargetError>(r).kind, TargetError::Kind::BadAddress);
    }
    const auto port = ResolveTarget({"127.0.0.1:16388", {}});
    QVERIFY(std::get<TargetError>(port).message.find("without a port") != std::string::npos);
    // No unit can be at these: the whole network would hear, or no one.
    for (const char* unusable : {"224.0.0.1", "239.1.2.3", "255.255.255.255", "0.0.0.0"}) {
      const auto r = ResolveTarget({unusable, {}});
      QVERIFY2(std::holds_alternative<TargetError>(r), unusable);
      QVERIFY(std::get<TargetError>(r).message.find("Refusing to send") != std::string::npos);
    }
    QVERIFY(std::holds_alternative<TargetError>(ExpandScanRange("223.255.255.250-224.0.0.3")));
  }

  void hostNamesAreResolvedOnce() {
    // localhost comes from the hosts file: nothing leaves the machine.
    QCOMPARE(Resolved("localhost").addressText, std::string("127.0.0.1"));
    const auto missing = ResolveTarget({"no-such-unit.invalid", {}});
    QCOMPARE(std::get<TargetError>(missing).kind, TargetError::Kind::NotFound);
  }

  void duplicatesAreComparedByAddress() {
    QCOMPARE(FirstDuplicate({Resolved("127.0.0.1"), Resolved("localhost")}),
             std::optional<size_t>(1));
    QCOMPARE(FirstDuplicate(
                 {Resolved("127.0.0.16"), Resolved("127.0.0.17"), Resolved("127.000.000.016")}),
             std::optional<size_t>(2));
    // One address, several units: each named once is fine; the same unit twice, or the whole
    // address beside one of its units, is not.
    QVERIFY(!FirstDuplicate({Resolved("127.0.0.16", "0101"), Resolved("127.0.0.16", "0102")}));
    QVERIFY(FirstDuplicate({Resolved("127.0.0.16", "0101"), Resolved("127.0.0.16", "0101")}));
    QVERIFY(FirstDuplicate({Resolved("127.0.0.16", "0101"), Resolved("127.0.0.16")}));
  }

  void imagesAreCheckedWithoutBlocking() {
    QTemporaryDir dir;
    int64_t size = 0;
    QVERIFY(!CheckImage(WriteBytes(dir, "whole.cry", 48), false, &size));
    QCOMPARE(size, 48);
    const std::string partial = WriteBytes(dir, "partial.cry", 50);
    QVERIFY(CheckImage(partial, false)->message.find("24-byte records") != std::string::npos);
    QVERIFY(!CheckImage(partial, true));
    QVERIFY(CheckImage(WriteBytes(dir, "empty.cry", 0), true)->message.find("is empty") !=
            std::string::npos);
    const std::string fifo = dir.filePath("fifo").toStdString();
    QCOMPARE(::mkfifo(fifo.c_str(), 0600), 0);
    // A FIFO without a writer would block a plain open for ever.
    QVERIFY(CheckImage(fifo, true)->message.find("a FIFO") != std::string::npos);
    QVERIFY(CheckImage("/dev/zero", true)->message.find("character device") != std::string::npos);
    QVERIFY(CheckImage(dir.path().toStdString(), true)->message.find("directory") !=
            std::string::npos);
    QVERIFY(CheckImage(dir.filePath("none").toStdString(), true)->message.find("cannot open") !=
            std::string::npos);
  }

  void configurationFilesAreReadWithoutWaitingOrGrowing() {
    QTemporaryDir dir;
    const std::string fifo = dir.filePath("uvq.ini").toStdString();
    QCOMPARE(::mkfifo(fifo.c_str(), 0600), 0);
    const auto problem = [](const std::string& path) {
      auto r = ReadConfigFile(path);
      return std::holds_alternative<std::string>(r) ? std::get<std::string>(r) : std::string();
    };
    QVERIFY2(problem(fifo).ends_with("is not a regular file"), problem(fifo).c_str());
    QVERIFY(problem("/dev/zero").ends_with("is not a regular file"));
    QFile sparse(dir.filePath("sparse.ini"));
    QVERIFY(sparse.open(QIODevice::WriteOnly) && sparse.resize(qint64{1} << 30));
    sparse.close();
    QVERIFY(problem(sparse.fileName().toStdString()).ends_with("is larger than 1 MiB"));
    // The user's file is found even when it is no file, so that it is refused by name.
    qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());
    QVERIFY(QDir(dir.path()).mkpath("uvq"));
    const std::string user = dir.filePath("uvq/uvq.ini").toStdString();
    QCOMPARE(::mkfifo(user.c_str(), 0600), 0);
    QCOMPARE(DefaultConfigFile(), user);
    qunsetenv("XDG_CONFIG_HOME");
  }

  void aSecondHolderIsRefusedAndNamed() {
    const std::string scope = "checks-" + std::to_string(::getpid());
    LockAttempt first = TryLockUnit("127.0.5.80", std::string("0101"), scope);
    QVERIFY2(first.lock, first.problem.c_str());
    const LockAttempt second = TryLockUnit("127.0.5.80", std::string("0101"), scope);
    QVERIFY(!second.lock);
    QCOMPARE(second.holder, std::optional<pid_t>(::getpid()));
    QVERIFY2(second.problem.find("127.0.5.80 (unit 0101) is in use by ") == 0 &&
                 second.problem.find("(process " + std::to_string(::getpid()) + ", user ") !=
                     std::string::npos,
             second.problem.c_str());
    // Another unit behind the address is another lock; the whole address is not while one of
    // its units is held, and a unit is not while the whole address is.
    std::optional<UnitLock> neighbour = TryLockUnit("127.0.5.80", std::string("0102"), scope).lock;
    QVERIFY(neighbour);
    QVERIFY(!TryLockUnit("127.0.5.80", std::nullopt, scope).lock);
    first.lock.reset();
    neighbour.reset();
    std::optional<UnitLock> whole = TryLockUnit("127.0.5.80", std::nullopt, scope).lock;
    QVERIFY(whole);
    const LockAttempt underWhole = TryLockUnit("127.0.5.80", std::string("0103"), scope);
    QVERIFY(!underWhole.lock);
    QVERIFY2(underWhole.problem.find("127.0.5.80 (every unit) is in use by ") == 0,
             underWhole.problem.c_str());
    whole.reset();

    // Another process, run by another user with another environment, sees the same lock;
    // once released it can be taken again.
    first = TryLockUnit("127.0.5.80", std::string("0101"), scope);
    QVERIFY(first.lock);
    const pid_t child = ::fork();
    if (child == 0) {
      ::setenv("XDG_RUNTIME_DIR", "/nonexistent", 1);
      ::setenv("HOME", "/nonexistent", 1);
      if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) _exit(3);
      const LockAttempt attempt = TryLockUnit("127.0.5.80", std::string("0101"), scope);
      if (attempt.lock) _exit(1);
      _exit(attempt.holder == ::getppid() ? 0 : 2);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 0);
    first.lock.reset();
    QVERIFY(TryLockUnit("127.0.5.80", std::string("0101"), scope).lock);
  }

  void runLogLines() {
    const std::string abc = "abc";
    QCOMPARE(Sha256Of({reinterpret_cast<const uint8_t*>(abc.data()), abc.size()}),
             std::string("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));

    QTemporaryDir dir;
    std::string error;
    RunLogEntry entry;
    entry.toolVersion = "9.9";
    entry.target = "localhost";
    entry.address = "127.0.0.1";
    entry.unitId = "0100";
    entry.outcome = "unit_error";
    entry.finalStatus = 0x4840;
    RunLogEntry unanswered = entry;
    unanswered.outcome = "no_answer";
    unanswered.finalStatus.reset();
    unanswered.unitId.clear();
    const std::string path = dir.filePath("runs.log").toStdString();
    QVERIFY(AppendRunLog(path, {entry}, error));
    QVERIFY(AppendRunLog(path, {unanswered}, error));  // appended, not overwritten
    QFile log(QString::fromStdString(path));
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = log.readAll().split('\n');
    QCOMPARE(lines.size(), 3);
    const QJsonObject first = ParseObject(lines[0].toStdString());
    QVERIFY(QDateTime::fromString(first.value("time").toString(), Qt::ISODateWithMs).isValid());
    QVERIFY(first.value("time").toString().endsWith('Z'));
    QCOMPARE(first.value("tool_version").toString(), QString("9.9"));
    QCOMPARE(first.value("status").toString(), QString("4840"));
    QCOMPARE(first.value("status_flags").toArray(),
             QJsonArray({"loader_mode", "frame_length_error", "checksum_error"}));
    const QJsonObject second = ParseObject(lines[1].toStdString());
    QCOMPARE(second.value("outcome").toString(), QString("no_answer"));
    QVERIFY(second.value("status").isNull());
    QVERIFY(second.value("unit").isNull());  // no unit answered: null, not ""
    QVERIFY(!AppendRunLog(dir.path().toStdString(), {entry}, error));  // a directory
  }

  void runLogLinesAreWholeOrAbsent() {
    QTemporaryDir dir;
    RunLogEntry entry;
    entry.toolVersion = "9.9";
    entry.target = "127.0.5.82";
    entry.outcome = "ok";
    entry.detail = std::string(300, 'd');
    const std::string path = dir.filePath("runs.log").toStdString();
    std::string error;
    QVERIFY(AppendRunLog(path, {entry}, error));
    const qint64 before = QFileInfo(QString::fromStdString(path)).size();
    // A full file system, as a file-size limit: the write stops half way through the line.
    const pid_t child = ::fork();
    if (child == 0) {
      ::signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{static_cast<rlim_t>(before + 100), static_cast<rlim_t>(before + 100)};
      ::setrlimit(RLIMIT_FSIZE, &limit);
      std::string childError;
      _exit(AppendRunLog(path, {entry}, childError) ? 1 : 0);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    QCOMPARE(QFileInfo(QString::fromStdString(path)).size(), before);
    // Something else left half a line: the next run's line starts on a line of its own.
    QFile file(QString::fromStdString(path));
    QVERIFY(file.open(QIODevice::Append) && file.write("{\"half") == 6);
    file.close();
    QVERIFY(AppendRunLog(path, {entry}, error));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray all = file.readAll();
    const QList<QByteArray> lines = all.split('\n');
    QVERIFY2(lines.size() == 4, all.constData());
    QCOMPARE(lines[1], QByteArray("{\"half"));
    QCOMPARE(ParseObject(lines[2].toStdString()).value("target").toString(), QString("127.0.5.82"));

    // A FIFO without a reader is refused at once, not waited on.
    const std::string fifo = dir.filePath("fifo").toStdString();
    QCOMPARE(::mkfifo(fifo.c_str(), 0600), 0);
    RunLogFile log;
    QVERIFY(!log.open(fifo, error));
    QVERIFY2(error.find("is a FIFO, not a regular file") != std::string::npos, error.c_str());
  }

  void outputWhoseReaderLeftStopsQuietly() {
    ::signal(SIGPIPE, SIG_IGN);
    int fds[2];
    QCOMPARE(::pipe(fds), 0);
    ::close(fds[0]);
    std::FILE* stream = ::fdopen(fds[1], "w");
    QVERIFY(stream);
    char errorText[512] = "";
    std::FILE* errors = ::fmemopen(errorText, sizeof errorText, "w");
    Output output(stream, Output::Mode::Text, Verbosity::Normal, false, errors);
    output.logLine("127.0.5.81", "Programming from x.cry");
    output.flush();
    QVERIFY(output.closed());
    output.logLine("127.0.5.81", "Programming Complete");  // ignored, no crash, no error
    output.flush();
    output.error("127.0.5.81", "comms timeout");  // errors still reach standard error
    std::fclose(errors);
    QCOMPARE(QString(errorText), QString("uvq: comms timeout\n"));
    std::fclose(stream);
  }
};

QTEST_GUILESS_MAIN(CliChecksTest)
#include "CliChecksTest.moc"

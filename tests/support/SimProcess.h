// SPDX-License-Identifier: Apache-2.0
#pragma once

// One uvq-sim child process on a loopback address, for the suites that need a unit at the far
// end: started and awaited, its output searched, frozen, stopped.
#include <signal.h>

#include <cstdint>

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

namespace uvq::test {

inline QString SimProgram() {
  return qEnvironmentVariable("UVQ_BUILD_DIR") + QStringLiteral("/uvq-sim");
}

class SimProcess {
 public:
  static constexpr quint16 kUnitPort = 16388;

  explicit SimProcess(QString address) : address_(std::move(address)) {}
  ~SimProcess() {
    if (process_.state() == QProcess::NotRunning) return;
    resume();  // a frozen unit cannot die
    process_.kill();
    process_.waitForFinished(5000);
  }
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  // Starts on `bind` (by default this address; a range must start with it) at the units' port
  // and waits for the readiness line.
  // Its output goes into files, never a pipe: a pipe nobody reads while a run goes on would
  // fill up and stop the unit mid-run.
  bool start(QStringList args = {}, const QString& bind = {}) {
    if (!logDir_.isValid()) return false;
    const QString listen = bind.isEmpty() ? address_ : bind;
    args << QStringLiteral("--bind") << listen;
    process_.setProgram(SimProgram());
    process_.setArguments(args);
    process_.setStandardOutputFile(logDir_.filePath(QStringLiteral("out")));
    process_.setStandardErrorFile(logDir_.filePath(QStringLiteral("err")));
    process_.start();
    if (!process_.waitForStarted(5000)) return false;
    return waitForOutput(QStringLiteral("uvq-sim listening on ") + listen +
                         QStringLiteral(":16388"));
  }

  // Handles events (a window under test keeps working) until `text` is on standard output.
  bool waitForOutput(const QString& text, int timeoutMs = 30000) {
    QElapsedTimer waited;
    waited.start();
    while (!read(QStringLiteral("out")).contains(text)) {
      if (waited.elapsed() > timeoutMs || process_.state() == QProcess::NotRunning)
        return read(QStringLiteral("out")).contains(text);
      QTest::qWait(5);
    }
    return true;
  }
  // Handles events until the emulator has taken everything sent to it so far. It takes
  // datagrams in arrival order and writes its log out before it waits again, so once the line
  // for a probe sent now is in the log, the lines of every earlier datagram are too: counts and
  // absences read after this are whole. The probe is one byte, too short for a PDU, which the
  // unit logs as a malformed datagram and otherwise ignores. Needs a unit without --quiet.
  bool sync(int timeoutMs = 30000) {
    QUdpSocket probe;
    if (!probe.bind(QHostAddress(address_), 0)) return false;
    if (probe.writeDatagram(QByteArray(1, '\0'), QHostAddress(address_), kUnitPort) != 1)
      return false;
    return waitForOutput(QStringLiteral("from %1:%2 ignored: malformed datagram")
                             .arg(address_)
                             .arg(probe.localPort()),
                         timeoutMs);
  }
  // The unit's log line for the PDU numbered `seq` once it is there, else empty. Reads only
  // what the log gained since the last call and looks on from the last line found, so
  // following a run PDU by PDU costs no more than the run itself.
  QByteArray lineFor(uint16_t seq) {
    QFile file(logDir_.filePath(QStringLiteral("out")));
    if (file.open(QIODevice::ReadOnly) && file.seek(followed_.size())) followed_ += file.readAll();
    const QByteArray key = " seq " + QByteArray::number(seq) + " cmd ";
    const qsizetype at = followed_.indexOf(key, searchFrom_);
    const qsizetype end = at < 0 ? -1 : followed_.indexOf('\n', at);
    if (end < 0) return {};  // not there, or not whole yet
    searchFrom_ = followed_.lastIndexOf('\n', at) + 1;
    return followed_.mid(searchFrom_, end - searchFrom_);
  }
  // Standard output so far; see sync() for when it holds a whole exchange.
  QString output() { return read(QStringLiteral("out")); }
  int count(const QString& text) { return output().count(text); }
  QString errors() { return read(QStringLiteral("err")); }

  // Stops it as an operator would (SIGTERM) and returns the whole of its standard output.
  QString stop() {
    if (process_.state() != QProcess::NotRunning) {
      process_.terminate();
      if (!process_.waitForFinished(5000)) kill();
    }
    return read(QStringLiteral("out"));
  }
  // The unit vanishing: no goodbye, no dump at exit.
  void kill() {
    resume();
    process_.kill();
    process_.waitForFinished(5000);
  }
  // The unit stops answering mid-exchange, as one whose network went away, and comes back.
  void freeze() { signal(SIGSTOP); }
  void resume() { signal(SIGCONT); }

  int exitCode() const { return process_.exitCode(); }
  QProcess::ExitStatus exitStatus() const { return process_.exitStatus(); }
  const QString& address() const { return address_; }

 private:
  void signal(int number) {
    if (process_.state() != QProcess::NotRunning)
      ::kill(static_cast<pid_t>(process_.processId()), number);
  }

  QString read(const QString& name) const {
    QFile file(logDir_.filePath(name));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
  }

  QString address_;
  QTemporaryDir logDir_;
  QByteArray followed_;  // the log as far as lineFor() has read it
  qsizetype searchFrom_ = 0;
  QProcess process_;
};

}  // namespace uvq::test

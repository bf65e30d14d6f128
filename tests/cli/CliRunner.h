// SPDX-License-Identifier: Apache-2.0
#pragma once

// Runs the real `uvq` and `uvq-sim` programs for the command-line tests. Every emulated unit
// listens on its own loopback address; nothing is ever aimed elsewhere.
#include <signal.h>

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

#include "SimProcess.h"

namespace clitest {

inline QString BuildDir() {
  return qEnvironmentVariable("UVQ_BUILD_DIR");
}

using Sim = uvq::test::SimProcess;

struct Result {
  int exitCode = -1;
  QString out;
  QString err;
  QStringList outLines() const { return out.split('\n', Qt::SkipEmptyParts); }
};

// A running uvq; its standard output can be watched while it works.
class Uvq {
 public:
  explicit Uvq(const QStringList& args,
               const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
    process_.setProcessEnvironment(env);
    process_.setProgram(BuildDir() + "/uvq");
    process_.setArguments(args);
    process_.start();
  }
  ~Uvq() {
    if (process_.state() != QProcess::NotRunning) {
      process_.kill();
      process_.waitForFinished(5000);
    }
  }
  bool waitForOutput(const QString& text, int timeoutMs = 20000) {
    return waitForCount(text, 1, timeoutMs);
  }
  // Until `text` is on standard output `times` times (a line said again later).
  bool waitForCount(const QString& text, int times, int timeoutMs = 20000) {
    QElapsedTimer clock;
    clock.start();
    while (out_.count(text) < times) {
      if (clock.elapsed() > timeoutMs || process_.state() == QProcess::NotRunning) {
        out_ += QString::fromUtf8(process_.readAllStandardOutput());
        return out_.count(text) >= times;
      }
      process_.waitForReadyRead(20);
      out_ += QString::fromUtf8(process_.readAllStandardOutput());
    }
    return true;
  }
  qint64 processId() const { return process_.processId(); }
  Result finish(int timeoutMs = 60000) {
    Result r;
    if (!process_.waitForFinished(timeoutMs)) {
      process_.kill();
      process_.waitForFinished(5000);
      r.err = "uvq did not finish in time\n";
    } else {
      r.exitCode = process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -2;
    }
    r.out = out_ + QString::fromUtf8(process_.readAllStandardOutput());
    r.err += QString::fromUtf8(process_.readAllStandardError());
    return r;
  }

 private:
  QProcess process_;
  QString out_;
};

inline Result RunUvq(const QStringList& args, int timeoutMs = 60000,
                     const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
  return Uvq(args, env).finish(timeoutMs);
}

// A random image of `size` bytes (IN.bin) and its record file (OUT.cry) in `dir`.
inline bool MakeImage(const QTemporaryDir& dir, const QString& name, int size) {
  QByteArray data(size, Qt::Uninitialized);
  for (int i = 0; i < size; ++i)
    data[i] = static_cast<char>(QRandomGenerator::global()->generate());
  QFile bin(dir.filePath(name + ".bin"));
  if (!bin.open(QIODevice::WriteOnly) || bin.write(data) != size) return false;
  bin.close();
  QProcess maker;
  maker.start(BuildDir() + "/uvq-sim",
              {"make-image", dir.filePath(name + ".bin"), dir.filePath(name + ".cry")});
  return maker.waitForFinished(10000) && maker.exitCode() == 0;
}

}  // namespace clitest

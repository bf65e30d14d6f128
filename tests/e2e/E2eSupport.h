// SPDX-License-Identifier: Apache-2.0
#pragma once

// Shared by the end-to-end suites: the real window, headless, against real uvq-sim processes,
// each case on its own 127.0.7.N address at the units' port.

#include <QByteArray>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>
#include <optional>
#include <string>

#include "FakePorts.h"
#include "SimProcess.h"
#include "operations/Outcomes.h"
#include "window/Encypted_ENC_loader.h"
#include "window/MemoLog.h"
#include "window/QtSharedTimer.h"

namespace uvq::e2e {

using uvq::window::TForm1;

using uvq::test::SimProgram;
using Sim = uvq::test::SimProcess;

inline QByteArray RandomBinary(int size, quint32 seed) {
  QRandomGenerator random(seed);
  QByteArray bytes(size, '\0');
  for (char& b : bytes) b = static_cast<char>(random.bounded(256));
  return bytes;
}

inline bool WriteFile(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

inline QByteArray ReadFile(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Writes `binary` to `dir`/`name`.bin and turns it into `name`.cry with the emulator's image
// maker; returns the .cry path, or an empty string on failure.
inline QString MakeImage(const QTemporaryDir& dir, const QString& name, const QByteArray& binary) {
  const QString bin = dir.filePath(name + QStringLiteral(".bin"));
  const QString cry = dir.filePath(name + QStringLiteral(".cry"));
  if (!WriteFile(bin, binary)) return {};
  QProcess maker;
  maker.start(SimProgram(), {QStringLiteral("make-image"), bin, cry});
  if (!maker.waitForFinished(10000) || maker.exitStatus() != QProcess::NormalExit ||
      maker.exitCode() != 0)
    return {};
  return cry;
}

// What the service reports about runs, beside what the window shows of them.
class RunEvents : public uvq::LoaderOutcomes {
 public:
  void runStarted(int32_t recordCount) override {
    records = recordCount;
    outcome.reset();
  }
  void runProgress(uint64_t pdus, int32_t, uint64_t) override { lastProgress = pdus; }
  void runEnded(const uvq::RunResult& result) override { outcome = result.end; }

  int32_t records = 0;
  uint64_t lastProgress = 0;
  std::optional<uvq::RunEnd> outcome;
};

using SilentTone = uvq::test::CountingTone;

// The operator window aimed at one loopback address, with a silent tone and a file chooser
// that answers with `chosenFile`.
class Loader {
 public:
  explicit Loader(const QString& host, std::optional<std::string> historyDb = std::nullopt) {
    uvq::window::FormOptions options;
    options.targetHost = host.toStdString();
    options.historyDb = std::move(historyDb);
    options.tone = &tone_;
    options.chooseFile = [this] { return chosenFile; };
    form_ = std::make_unique<TForm1>(std::move(options));
    errors_ = std::make_unique<QSignalSpy>(form_.get(), &TForm1::errorShown);
    form_->service().addListener(&events);
    form_->show();
  }

  TForm1& form() { return *form_; }
  uvq::LoaderService& service() { return form_->service(); }
  uvq::window::QtSharedTimer& timer() { return form_->sharedTimer(); }
  int errorBoxes() const { return static_cast<int>(errors_->count()); }

  template <class W = QPushButton>
  W* widget(const char* name) {
    return form_->findChild<W*>(QString::fromLatin1(name));
  }
  // A real mouse click on an enabled button, as the operator makes it.
  void click(const char* name) {
    QPushButton* button = widget(name);
    QVERIFY2(button, name);
    QVERIFY2(button->isEnabled(), name);
    QTest::mouseClick(button, Qt::LeftButton, {}, button->rect().center());
  }
  QString caption() const { return form_->windowTitle(); }
  QString captureCaption() { return widget("BLDR_Mode")->text(); }

  // The log as shown (the window keeps about the last hundred rows).
  QStringList log() {
    if (form_->memoLog().lineCount() == 0) return {};
    return widget<QPlainTextEdit>("Memo1")->toPlainText().split(QLatin1Char('\n'));
  }
  bool logHas(const QString& line) { return log().contains(line); }
  QString logText() { return log().join(QLatin1Char('|')); }
  // Whether `first` is directly followed by `second` somewhere in the log.
  bool logHasPair(const QString& first, const QString& second) {
    const QStringList lines = log();
    for (qsizetype i = 0; i + 1 < lines.size(); ++i)
      if (lines[i] == first && lines[i + 1] == second) return true;
    return false;
  }

  // Clicks Capture and waits until a unit has confirmed loader mode.
  bool capture(int timeoutMs = 30000) {
    QPushButton* button = widget("BLDR_Mode");
    if (!button->isEnabled()) return false;
    QTest::mouseClick(button, Qt::LeftButton, {}, button->rect().center());
    QElapsedTimer waited;
    waited.start();
    while (!(service().loaderMode() && captureCaption() == QStringLiteral("Capture"))) {
      if (waited.elapsed() > timeoutMs) return false;
      QTest::qWait(2);
    }
    return true;
  }

  // Picks `path` through the File button and the chooser.
  void choose(const QString& path) {
    chosenFile = path.toStdString();
    click("BSource");
  }

  // The programming watchdog's handler, fired instead of waited for; false when the timer is
  // not armed as that watchdog.
  bool fireProgramWatchdog() {
    if (timer().role() != uvq::TimerRole::ProgramSupervisor) return false;
    if (timer().interval() != uvq::Timing{}.programWatchdogMs || !timer().isActive()) return false;
    timer().tick();
    return true;
  }

  // Clicks Program and follows the run until the file is closed. When `lossyUnit` (an emulated
  // unit that logs its PDUs) has logged the PDU just sent as answered by nothing the window can
  // wait for (its reply dropped, or held back until the next PDU), the watchdog is fired instead
  // of waited for, which resends the record; any other wait is left to the watchdog's own timer.
  // `midRun` runs once, when `midRunAfterPdus` PDUs have gone out. Returns false if the run
  // never ended.
  bool program(int timeoutMs = 60000, Sim* lossyUnit = nullptr, int midRunAfterPdus = -1,
               const std::function<void()>& midRun = {}) {
    click("BProgram");
    if (!service().fileOpen()) return false;
    QElapsedTimer total;
    total.start();
    bool midRunDone = !midRun;
    std::optional<uint16_t> firedFor;
    while (service().fileOpen()) {
      if (total.elapsed() > timeoutMs) return false;
      QTest::qWait(1);
      const uint16_t counter = service().pdus().counter();
      if (!midRunDone && counter >= midRunAfterPdus) {
        midRunDone = true;
        midRun();
      }
      const std::optional<uint16_t> last = service().pdus().lastNumberSent();
      if (lossyUnit && last && last != firedFor && service().fileOpen()) {
        const QByteArray line = lossyUnit->lineFor(*last);
        if (line.contains("[dropped]") || line.contains("[held]")) {
          firedFor = last;
          fireProgramWatchdog();
        }
      }
    }
    return true;
  }

  std::optional<std::string> chosenFile;
  RunEvents events;

 private:
  SilentTone tone_;
  std::unique_ptr<TForm1> form_;
  std::unique_ptr<QSignalSpy> errors_;
};

}  // namespace uvq::e2e

// SPDX-License-Identifier: Apache-2.0
#include <QRegularExpression>
#include <QTest>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <numeric>

#include "platform/AlsaTone.h"
#include "platform/SystemClock.h"
#include "platform/ToneSamples.h"

using namespace std::chrono;
using uvq::platform::AlsaTone;
using uvq::platform::FormatTimeOfDay;
using uvq::platform::GenerateToneSamples;
using uvq::platform::SystemClock;
using uvq::platform::ToneShape;

namespace {

// Rising zero crossings, i.e. whole cycles started.
int RisingCrossings(const std::vector<int16_t>& samples) {
  int count = 0;
  for (size_t i = 1; i < samples.size(); ++i) {
    if (samples[i - 1] < 0 && samples[i] >= 0) ++count;
  }
  return count;
}

}  // namespace

class ClockToneTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    setenv("TZ", "UTC", 1);
    tzset();
  }

  void formatsTimeOfDay() {
    const sys_days day = 2024y / 3 / 9;
    QCOMPARE(FormatTimeOfDay(day + 13h + 5min + 7s + 42ms), std::string("13:05:07.042"));
    QCOMPARE(FormatTimeOfDay(day), std::string("00:00:00.000"));
    QCOMPARE(FormatTimeOfDay(day + 23h + 59min + 59s + 999ms + 900us), std::string("23:59:59.999"));
  }

  void followsLocalTimeZone() {
    setenv("TZ", "UTC-2", 1);  // two hours east of UTC
    tzset();
    const std::string text = FormatTimeOfDay(sys_days{2024y / 3 / 9} + 23h + 30min);
    setenv("TZ", "UTC", 1);
    tzset();
    QCOMPARE(text, std::string("01:30:00.000"));
  }

  void systemClockGivesNow() {
    SystemClock clock;
    const std::string before = FormatTimeOfDay(system_clock::now());
    const std::string text = clock.timeOfDay();
    const std::string after = FormatTimeOfDay(system_clock::now());
    QVERIFY(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d$")
                .match(QString::fromStdString(text))
                .hasMatch());
    // Same fixed-width format, so text order is time order (unless midnight passes).
    if (before <= after) {
      QVERIFY(before <= text);
      QVERIFY(text <= after);
    }
  }

  void toneSamples() {
    const ToneShape shape;
    const auto samples = GenerateToneSamples(shape);
    QCOMPARE(samples.size(), size_t(48000 / 4));  // 250 ms
    QCOMPARE(RisingCrossings(samples), 199);      // 200 cycles, the first starts at sample 0
    const auto [low, high] = std::minmax_element(samples.begin(), samples.end());
    QVERIFY(std::abs(*high - shape.amplitude) <= 1);
    QVERIFY(std::abs(*low + shape.amplitude) <= 1);
    QCOMPARE(samples.front(), int16_t(0));
    // A quarter cycle in (60 samples per cycle at 800 Hz) is the crest.
    QCOMPARE(samples[15], shape.amplitude);
  }

  void toneShapeIsHonoured() {
    const auto samples = GenerateToneSamples(ToneShape{8000, 1000.0, 100, 1000});
    QCOMPARE(samples.size(), size_t(800));
    QCOMPARE(RisingCrossings(samples), 99);
    QCOMPARE(*std::max_element(samples.begin(), samples.end()), int16_t(1000));
  }

  void beepLastsAsLongAsTheTone() {
    // No test machine has a sound device, so this takes the silent path; either way the call
    // must not return before the tone's time is up.
    AlsaTone tone;
    const auto start = steady_clock::now();
    tone.beep();
    const auto elapsed = duration_cast<milliseconds>(steady_clock::now() - start);
    QVERIFY2(elapsed >= 240ms, qPrintable(QString::number(elapsed.count())));
    QVERIFY2(elapsed < 5s, qPrintable(QString::number(elapsed.count())));
  }
};

QTEST_GUILESS_MAIN(ClockToneTest)
#include "ClockToneTest.moc"

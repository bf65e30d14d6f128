// The window's code path, headless: the real TForm1 (its UdpLink, receive thread and engine)
// aimed at an emulated unit. It captures, chooses the image, clicks Program and times the run
// from the first record to the completed image. With --startup it instead times the window's
// start: construction, show() and the first paint of the form.

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <string>

#include "operations/Outcomes.h"
#include "window/Encypted_ENC_loader.h"

namespace {

using Clock = std::chrono::steady_clock;

class SilentTone : public uvq::Tone {
 public:
  void beep() override {}
};

// Follows the run through the service's outcomes.
class RunWatch : public uvq::LoaderOutcomes {
 public:
  void captureEnded(uvq::CaptureEnd end) override {
    if (end == uvq::CaptureEnd::InLoaderMode && !captured) {
      captured = true;
      QTimer::singleShot(0, qApp, [this] { onCaptured(); });
    }
  }
  void runStarted(int32_t count) override {
    records = count;
    start = Clock::now();
  }
  void runEnded(const uvq::RunResult& result) override {
    end = Clock::now();
    outcome = result.end;
    ended = true;
    QTimer::singleShot(0, qApp, [] { QApplication::quit(); });
  }

  std::function<void()> onCaptured;
  bool captured = false;
  bool ended = false;
  uvq::RunEnd outcome = uvq::RunEnd::CommsTimeout;
  int32_t records = 0;
  Clock::time_point start, end;
};

QPushButton* ButtonOf(QWidget& form, const char* name) {
  auto* button = form.findChild<QPushButton*>(QString::fromLatin1(name));
  if (!button) throw std::runtime_error(std::string("no button ") + name);
  return button;
}

int ProgramRun(const std::string& target, const std::string& image) {
  SilentTone tone;
  uvq::window::FormOptions options;
  options.targetHost = target;
  options.tone = &tone;
  options.chooseFile = [image] { return std::optional<std::string>(image); };
  uvq::window::TForm1 form(std::move(options));
  RunWatch watch;
  form.service().addListener(&watch);
  watch.onCaptured = [&form] {
    ButtonOf(form, "BSource")->click();
    ButtonOf(form, "BProgram")->click();
  };
  form.show();
  QObject::connect(&form, &uvq::window::TForm1::errorShown, [](const QString& text) {
    std::fprintf(stderr, "error box: %s\n", qPrintable(text));
    QApplication::exit(1);
  });
  ButtonOf(form, "BLDR_Mode")->click();
  const int code = QApplication::exec();
  if (code != 0 || !watch.ended || watch.outcome != uvq::RunEnd::Complete) {
    std::fprintf(stderr, "run did not complete (outcome %d)\n", static_cast<int>(watch.outcome));
    return 1;
  }
  // The image's whole records (end record included) each went out and were acknowledged.
  const double seconds = std::chrono::duration<double>(watch.end - watch.start).count();
  std::printf("RESULT window records=%d seconds=%.4f records_per_s=%.0f resends=%d\n",
              watch.records, seconds, watch.records / seconds, form.service().retries());
  return 0;
}

// Sees the first paint of the form.
class FirstPaint : public QObject {
 public:
  Clock::time_point at;
  bool seen = false;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (!seen && event->type() == QEvent::Paint) {
      at = Clock::now();
      seen = true;
      QTimer::singleShot(0, qApp, [] { QApplication::quit(); });
    }
    return QObject::eventFilter(watched, event);
  }
};

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

int StartUp(const std::string& executablePath, Clock::time_point mainEntered) {
  const Clock::time_point appMade = Clock::now();
  SilentTone tone;
  uvq::window::FormOptions options;
  options.executablePath = executablePath;  // its .INI names the target, as for the tool
  options.tone = &tone;
  uvq::window::TForm1 form(std::move(options));
  const Clock::time_point constructed = Clock::now();
  FirstPaint paint;
  form.installEventFilter(&paint);
  form.show();
  const Clock::time_point shown = Clock::now();
  QTimer::singleShot(5000, qApp, [] { QApplication::exit(1); });
  if (QApplication::exec() != 0 || !paint.seen) {
    std::fprintf(stderr, "the form was never painted\n");
    return 1;
  }
  // Launch time from the script (wall clock), so the loader's own start-up counts too.
  double launchToPaint = -1;
  if (const char* launch = std::getenv("UVQ_BENCH_LAUNCH_NS")) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const double nowNs = static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
    launchToPaint = (nowNs - std::strtod(launch, nullptr)) / 1e6 - Ms(Clock::now() - paint.at);
  }
  std::printf(
      "RESULT startup app_ms=%.2f form_ms=%.2f show_ms=%.2f first_paint_ms=%.2f "
      "launch_to_paint_ms=%.2f\n",
      Ms(appMade - mainEntered), Ms(constructed - appMade), Ms(shown - constructed),
      Ms(paint.at - mainEntered), launchToPaint);
  return 0;
}

}  // namespace

int main(int argc, char** argv) try {
  const Clock::time_point mainEntered = Clock::now();
  QApplication app(argc, argv);
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "--startup" && argc == 3) return StartUp(argv[2], mainEntered);
  if (mode == "--program" && argc == 4) {
    const std::string target = argv[2];
    if (target.rfind("127.", 0) != 0) throw std::runtime_error("target must be 127.x.y.z");
    return ProgramRun(target, argv[3]);
  }
  std::fprintf(stderr,
               "usage: uvq-bench-window --program 127.x.y.z IMAGE.cry\n"
               "       uvq-bench-window --startup EXECUTABLE (EXECUTABLE.INI names the target)\n");
  return 2;
} catch (const std::exception& e) {
  std::fprintf(stderr, "uvq-bench-window: %s\n", e.what());
  return 2;
}

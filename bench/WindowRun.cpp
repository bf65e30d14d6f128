// SPDX-License-Identifier: Apache-2.0
// The window's code path, headless: the real TForm1 (its UdpLink, receive thread and engine)
// aimed at an emulated unit. It captures, chooses the image, clicks Program and times the run
// from the first record to the completed image. With --startup it instead times the window's
// start: construction, show() and the first paint of the form.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <string>
#include <thread>

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

// Sends a mixed flood at the window's port from its own loopback address while the run goes
// on: replies too short to read, replies echoing numbers never sent, over-long and empty
// datagrams, in turn, `rate` a second.
class Flood {
 public:
  Flood(uint16_t port, int rate) : rate_(rate) {
    socket_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(0x7F000642);  // 127.0.6.66
    if (socket_ < 0 || ::bind(socket_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0)
      throw std::runtime_error("flood socket");
    to_.sin_family = AF_INET;
    to_.sin_port = htons(port);
    to_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    thread_ = std::thread([this] { run(); });
  }
  ~Flood() {
    stop_ = true;
    thread_.join();
    ::close(socket_);
  }
  uint64_t sent() const { return sent_; }

 private:
  void run() {
    std::array<uint8_t, 300> bytes{};
    const auto start = Clock::now();
    uint64_t n = 0;
    while (!stop_) {
      // Paced against the clock: after t seconds, rate * t datagrams.
      const double due = std::chrono::duration<double>(Clock::now() - start).count() * rate_;
      if (static_cast<double>(n) >= due) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        continue;
      }
      size_t length = 0;
      switch (n % 4) {
        case 0:
          length = 10;  // short
          break;
        case 1:  // a status reply echoing a number far from any sent
          length = 20;
          bytes[0] = 0x5A;
          bytes[1] = 0xA5;
          bytes[4] = static_cast<uint8_t>(0x80 | (n >> 8));
          bytes[5] = static_cast<uint8_t>(n);
          bytes[6] = 0;
          break;
        case 2:
          length = 300;  // over-long
          break;
        case 3:
          length = 0;
          break;
      }
      ::sendto(socket_, bytes.data(), length, 0, reinterpret_cast<const sockaddr*>(&to_),
               sizeof to_);
      ++n;
      sent_ = n;
    }
  }

  int rate_;
  int socket_ = -1;
  sockaddr_in to_{};
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> sent_{0};
  std::thread thread_;
};

int ProgramRun(const std::string& target, const std::string& image, int floodRate) {
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
  std::unique_ptr<Flood> flood;
  if (floodRate > 0) flood = std::make_unique<Flood>(form.localPort(), floodRate);
  ButtonOf(form, "BLDR_Mode")->click();
  QTimer::singleShot(120000, qApp, [] { QApplication::exit(3); });  // a run that stalls
  const int code = QApplication::exec();
  const uint64_t flooded = flood ? flood->sent() : 0;
  flood.reset();
  if (code != 0 || !watch.ended || watch.outcome != uvq::RunEnd::Complete) {
    std::fprintf(stderr, "run did not complete (outcome %d)\n", static_cast<int>(watch.outcome));
    return 1;
  }
  // The image's whole records (end record included) each went out and were acknowledged.
  const double seconds = std::chrono::duration<double>(watch.end - watch.start).count();
  // The run's outcome must still be in the log for the operator to see.
  const auto* memo = form.findChild<QPlainTextEdit*>(QStringLiteral("Memo1"));
  const bool outcomeShown =
      memo && memo->toPlainText().contains(QStringLiteral("Programming Complete"));
  std::printf(
      "RESULT window records=%d seconds=%.4f records_per_s=%.0f resends=%d flood_rate=%d "
      "flood_sent=%llu outcome_in_log=%d\n",
      watch.records, seconds, watch.records / seconds, form.service().retries(), floodRate,
      static_cast<unsigned long long>(flooded), outcomeShown ? 1 : 0);
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
  if (mode == "--program" && (argc == 4 || (argc == 6 && std::string(argv[4]) == "--flood"))) {
    const std::string target = argv[2];
    if (target.rfind("127.", 0) != 0) throw std::runtime_error("target must be 127.x.y.z");
    return ProgramRun(target, argv[3], argc == 6 ? std::atoi(argv[5]) : 0);
  }
  std::fprintf(stderr,
               "usage: uvq-bench-window --program 127.x.y.z IMAGE.cry [--flood PER_SECOND]\n"
               "       uvq-bench-window --startup EXECUTABLE (EXECUTABLE.INI names the target)\n");
  return 2;
} catch (const std::exception& e) {
  std::fprintf(stderr, "uvq-bench-window: %s\n", e.what());
  return 2;
}

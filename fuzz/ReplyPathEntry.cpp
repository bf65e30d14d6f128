// SPDX-License-Identifier: Apache-2.0
// The window's rules on the loader service, as the operator drives them, one input byte choosing
// each step: a reply (mostly echoing the last PDU, so it is accepted), a raw datagram, a timer
// tick, a click on an enabled control, a failing send or an image of chosen size. Enough steps of
// the right kind reach capture, the programming run, erase and re-addressing.

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FakeControls.h"
#include "FuzzEntries.h"
#include "FuzzFailure.h"
#include "FuzzInput.h"
#include "operations/LoaderService.h"
#include "presenter/WindowPresenter.h"
#include "protocol/PduLayout.h"

namespace uvq::fuzz {
namespace {

struct CheckingLink : Link {
  bool failNext = false;
  uint8_t lastCommand = protocol::Code(protocol::Command::Capture);
  size_t sends = 0;
  void sendDatagram(std::span<const uint8_t> bytes) override {
    // Whatever the service sends is a whole control PDU that fits the transmit buffer.
    UVQ_FUZZ_CHECK(bytes.size() >= protocol::kHeaderLength);
    UVQ_FUZZ_CHECK(bytes.size() <= protocol::kTransmitBufferSize);
    UVQ_FUZZ_CHECK(bytes[0] == protocol::kLeadByte1 && bytes[1] == protocol::kLeadByte2);
    if (failNext) {
      failNext = false;
      throw PlatformError("Socket Error # 101\nNetwork is unreachable");
    }
    lastCommand = bytes[protocol::PduOffset::kCommand];
    ++sends;
  }
};

// UVQ_FUZZ_TRACE=1 prints the service's log, to follow a saved input step by step.
struct CountingLog : Log {
  size_t lines = 0;
  const bool trace = std::getenv("UVQ_FUZZ_TRACE") != nullptr;
  void addLogLine(std::string_view line) override {
    ++lines;
    if (trace) std::fprintf(stderr, "log: %.*s\n", static_cast<int>(line.size()), line.data());
  }
};

struct RememberingTimer : SharedTimer {
  TimerRole role = TimerRole::None;
  int interval = 0;
  bool enabled = false;
  void disable() override { enabled = false; }
  void enable() override { enabled = true; }
  void setHandler(TimerRole r) override { role = r; }
  void setInterval(int ms) override { interval = ms; }
};

// Noon, and a steady clock that moves 100 ms each time it is read.
struct NoonClock : Clock {
  int64_t ms = 0;
  std::string timeOfDay() override { return "12:00:00.000"; }
  int64_t steadyMilliseconds() override { return ms += 100; }
};

struct QuietTone : Tone {
  void beep() override {}
};

// An image in memory; reads can be made to fail from a chosen offset on.
struct ImageFile : RecordFile {
  std::shared_ptr<const std::vector<uint8_t>> data;
  size_t pos = 0;
  std::optional<size_t> failFrom;
  int64_t size() override { return static_cast<int64_t>(data->size()); }
  size_t read(std::span<uint8_t> buffer) override {
    if (failFrom && pos >= *failFrom) throw PlatformError("Input/output error");
    const size_t n = std::min(buffer.size(), data->size() - pos);
    std::copy_n(data->begin() + static_cast<std::ptrdiff_t>(pos), n, buffer.begin());
    pos += n;
    return n;
  }
};

struct ImageFiles : FileSystem {
  std::shared_ptr<const std::vector<uint8_t>> image = std::make_shared<std::vector<uint8_t>>();
  std::optional<size_t> failFrom;
  OpenedFile openForReading(const std::string& path) override {
    if (path != "image.cry") return {nullptr, "No such file or directory"};
    auto file = std::make_unique<ImageFile>();
    file->data = image;
    file->failFrom = failFrom;
    return {std::move(file), {}};
  }
};

struct ReachEvents : LoaderOutcomes {
  ReplyPathReach reach;
  void readyState(uint16_t status) override {
    if (status & 0x4000) ++reach.loaderModes;
  }
  void runStarted(int32_t) override { ++reach.runsStarted; }
  void runEnded(const RunResult& result) override {
    ++(result.end == RunEnd::Complete ? reach.runsCompleted : reach.runsFailed);
  }
  void eraseEnded(EraseKind, EraseEnd, uint16_t) override { ++reach.erasesEnded; }
};

using presenter::ControlId;

constexpr std::array<uint16_t, 4> kUnitIds = {0x0100, 0x0101, 0x12AB, 0x0000};
constexpr int kMaxSteps = 4000;

class Script {
 public:
  Script(const uint8_t* data, size_t size) : in_(data, size) {
    service_.addListener(&events_);
    window_.FormCreate();
  }

  ReplyPathReach run() {
    for (int step = 0; step < kMaxSteps && !in_.empty(); ++step) {
      try {
        next();
      } catch (const PlatformError&) {
        // A failed send or read reaches whoever drove the service; the front ends report it.
      }
      UVQ_FUZZ_CHECK(service_.registry().count() <= units::kUvqTableCapacity);
      UVQ_FUZZ_CHECK(timer_.interval >= 0);
    }
    ReplyPathReach reach = events_.reach;
    reach.sends = link_.sends;
    return reach;
  }

 private:
  void next() {
    const uint8_t op = in_.byte();
    switch (op % 24) {
      case 0:
      case 1:
      case 2:
      case 3:
        answerLastPdu();
        break;
      case 4:
        rawDatagram();
        break;
      case 5:
      case 6:
        // The timer as it runs: a tick of the armed role.
        if (timer_.enabled) window_.TimerTick(timer_.role);
        break;
      case 7:
        window_.TimerTick(static_cast<TimerRole>(in_.byte() % 4));
        break;
      case 8:
        click(ControlId::BLDR_Mode, [this] { window_.BLDR_ModeClick(); });
        break;
      case 9:
        click(ControlId::StopCapture, [this] { window_.StopCaptureClick(); });
        break;
      case 10: {
        const std::string code = in_.text(255);
        click(ControlId::CapturewCode, [&] { window_.CapturewCodeClick(code); });
        break;
      }
      case 11:
        click(ControlId::Locate, [this] { window_.LocateClick(); });
        break;
      case 12: {
        const uint8_t choice = in_.byte() % 3;
        // 0: the dialog was cancelled.
        window_.BSourceClick(choice == 0   ? std::nullopt
                             : choice == 1 ? std::optional<std::string>("image.cry")
                                           : std::optional<std::string>("missing.cry"));
        break;
      }
      case 13:
        click(ControlId::BProgram, [this] { window_.BProgramClick(); });
        break;
      case 14:
        click(ControlId::BErase, [this] { window_.BEraseClick(); });
        break;
      case 15:
        click(ControlId::BEraseEE, [this] { window_.BEraseEEClick(); });
        break;
      case 16:
        click(ControlId::BErasePRG, [this] { window_.BErasePRGClick(); });
        break;
      case 17:
        click(ControlId::BResetUVQ, [this] { window_.BResetUVQClick(); });
        break;
      case 18:
        window_.Button2Click();
        break;
      case 19:
        if (controls_.isEnabled(ControlId::CBIPaddr)) {
          controls_.setChecked(ControlId::CBIPaddr, !controls_.isChecked(ControlId::CBIPaddr));
          window_.CBIPaddrClick();
        }
        break;
      case 20: {
        const std::string address = in_.text(40);
        if (controls_.isEnabled(ControlId::EIPAddr)) controls_.setText(ControlId::EIPAddr, address);
        click(ControlId::BUpdateUVQ, [this] { window_.BUpdateUVQClick(); });
        break;
      }
      case 21:
        pickUnit();
        break;
      case 22:
        operatorSettings();
        break;
      case 23:
        chooseImage();
        break;
    }
  }

  template <class F>
  void click(ControlId id, F&& handler) {
    // The window only lets an enabled control be clicked.
    if (controls_.isEnabled(id)) handler();
  }

  // A reply to the last PDU: right number, chosen type, unit and status.
  void answerLastPdu() {
    const uint8_t how = in_.byte();
    std::array<uint8_t, 20> r{};
    const std::optional<uint16_t> last = service_.pdus().lastNumberSent();
    const uint16_t seq = last ? *last : in_.word();
    r[0] = protocol::kLeadByte1;
    r[1] = protocol::kLeadByte2;
    r[protocol::ReplyOffset::kSeqHigh] = static_cast<uint8_t>(seq >> 8);
    r[protocol::ReplyOffset::kSeqLow] = static_cast<uint8_t>(seq);
    // Mostly the command just sent, so the state it started moves on.
    r[protocol::ReplyOffset::kType] = (how & 0x80) ? in_.byte() % 12 : lastCommand();
    const uint16_t id = (how & 0x40) ? in_.word() : kUnitIds[how % kUnitIds.size()];
    r[protocol::ReplyOffset::kUvqIdHigh] = static_cast<uint8_t>(id >> 8);
    r[protocol::ReplyOffset::kUvqIdLow] = static_cast<uint8_t>(id);
    for (size_t i = 0; i < 4; ++i) r[protocol::ReplyOffset::kIp + i] = in_.byte();
    const uint16_t status = (how & 0x20) ? in_.word() : ((how & 0x10) ? 0x4010 : 0x4000);
    r[protocol::ReplyOffset::kStatusHigh] = static_cast<uint8_t>(status >> 8);
    r[protocol::ReplyOffset::kStatusLow] = static_cast<uint8_t>(status);
    r[protocol::ReplyOffset::kDataSeq] = in_.byte();
    const size_t length = 19 + (how & 1);
    window_.ProcessStatusReply({r.data(), length});
  }

  uint8_t lastCommand() const { return link_.lastCommand; }

  void rawDatagram() {
    // Up to 300 bytes: longer than any reply the link hands on, so the service's own bound is hit.
    const size_t length = in_.word() % 301;
    std::vector<uint8_t> bytes(length);
    for (uint8_t& b : bytes) b = in_.byte();
    window_.ProcessStatusReply(bytes);
  }

  void pickUnit() {
    const units::Selector& selector = service_.registry().selector();
    const uint8_t how = in_.byte();
    if ((how & 1) && selector.count() > 0)
      window_.CUVQselectPick(in_.byte() % selector.count());
    else
      window_.CUVQselectChange(in_.text(8));  // typed into the box
  }

  void operatorSettings() {
    const uint8_t how = in_.byte();
    const ControlId boxes[] = {ControlId::CheckBox1, ControlId::CheckBox2, ControlId::CheckBox3};
    const ControlId box = boxes[how % 3];
    controls_.setChecked(box, !controls_.isChecked(box));
    if (how & 0x80) link_.failNext = true;
  }

  void chooseImage() {
    // Up to about 200 records; a few are whole, the last one may be short.
    auto image = std::make_shared<std::vector<uint8_t>>(in_.word() % 4800);
    for (size_t i = 0; i < image->size(); ++i) (*image)[i] = static_cast<uint8_t>(i * 31);
    files_.image = image;
    const uint8_t fail = in_.byte();
    files_.failFrom = (fail & 0x80) ? std::optional<size_t>((fail & 0x7F) * 24u) : std::nullopt;
  }

  FuzzInput in_;
  CheckingLink link_;
  CountingLog log_;
  RememberingTimer timer_;
  test::FakeControls controls_;
  NoonClock clock_;
  QuietTone tone_;
  ImageFiles files_;
  ReachEvents events_;
  LoaderService service_{ServicePorts{link_, log_, timer_, clock_, tone_, files_}};
  presenter::WindowPresenter window_{service_, controls_, log_};
};

}  // namespace

ReplyPathReach FuzzReplyPath(const uint8_t* data, size_t size) {
  return Script(data, size).run();
}

}  // namespace uvq::fuzz

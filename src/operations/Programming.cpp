// SPDX-License-Identifier: Apache-2.0
#include <algorithm>
#include <climits>
#include <string>

#include "operations/LoaderService.h"
#include "protocol/StatusFlags.h"

namespace uvq {

using namespace protocol;

namespace {

// An image held in memory, read as a file is: the run sends exactly these bytes.
class ImageInMemory final : public RecordFile {
 public:
  explicit ImageInMemory(std::shared_ptr<const std::vector<uint8_t>> bytes)
      : bytes_(std::move(bytes)) {}
  int64_t size() override { return static_cast<int64_t>(bytes_->size()); }
  size_t read(std::span<uint8_t> buffer) override {
    const size_t n = std::min(buffer.size(), bytes_->size() - position_);
    std::copy_n(bytes_->begin() + static_cast<std::ptrdiff_t>(position_), n, buffer.begin());
    position_ += n;
    return n;
  }

 private:
  std::shared_ptr<const std::vector<uint8_t>> bytes_;
  size_t position_ = 0;
};

// The whole image, read once before anything is sent: a file overwritten or truncated while
// the run goes on cannot mix two images in the unit. Null with the reason when it cannot be
// read whole, or is larger than any image.
std::shared_ptr<const std::vector<uint8_t>> ReadWholeImage(RecordFile& file, std::string& problem) {
  try {
    const int64_t size = std::max<int64_t>(file.size(), 0);
    if (size > kMaxImageBytes) {
      problem = "it is " + std::to_string(size) + " bytes, more than any image (" +
                std::to_string(kMaxImageBytes >> 20) + " MiB)";
      return nullptr;
    }
    auto bytes = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(size));
    size_t got = 0;
    while (got < bytes->size()) {
      const size_t n = file.read(std::span<uint8_t>(*bytes).subspan(got));
      if (n == 0) break;
      got += n;
    }
    if (got < bytes->size()) {
      problem = "the file ended after " + std::to_string(got) + " of its " + std::to_string(size) +
                " bytes";
      return nullptr;
    }
    return bytes;
  } catch (const PlatformError& error) {
    problem = error.what();
    return nullptr;
  }
}

}  // namespace

void LoaderService::setSourceFile(std::optional<std::string> path) {
  CallGuard guard(*this);
  sourceSelected_ = path.has_value();
  fileName_ = path ? std::move(*path) : std::string();
  image_.reset();
}

void LoaderService::setSourceImage(std::shared_ptr<const std::vector<uint8_t>> image,
                                   std::string name) {
  CallGuard guard(*this);
  sourceSelected_ = image != nullptr;
  fileName_ = std::move(name);
  image_ = std::move(image);
}

void LoaderService::program() {
  CallGuard guard(*this);
  if (busy()) return notStarted(ServiceOperation::Program, NotStartedReason::Busy);
  disableTimer();
  ports_.timer.setHandler(TimerRole::ProgramSupervisor);
  ports_.timer.setInterval(timing_.programWatchdogMs);
  closeProgramFile();  // a run left open by a capture in between starts afresh
  std::shared_ptr<const std::vector<uint8_t>> image = image_;
  if (!image) {
    OpenedFile opened;
    if (!fileName_.empty()) opened = ports_.files.openForReading(fileName_);
    if (!opened.file) {
      // A FIFO or a device would hang the run or stream without end; it is refused by name.
      ports_.log.addLogLine("File " + fileName_ +
                            (opened.notRegularFile ? " " + opened.problem : " not found"));
      if (fileName_.empty())
        return notStarted(ServiceOperation::Program, NotStartedReason::NoImage);
      return notStarted(ServiceOperation::Program, NotStartedReason::ImageNotOpened, 0,
                        opened.notRegularFile ? opened.problem : "not found");
    }
    std::string problem;
    image = ReadWholeImage(*opened.file, problem);
    if (!image) {
      ports_.log.addLogLine("Error reading file " + fileName_ + ": " + problem);
      return notStarted(ServiceOperation::Program, NotStartedReason::ImageNotOpened, 0, problem);
    }
  }
  runImage_ = image;
  file_ = std::make_unique<ImageInMemory>(std::move(image));
  pdus_.setCounter(0);
  captureAttempts_ = 0;
  fileSize_ = file_->size();
  bytesRead_ = 0;
  const int64_t records = fileSize_ / static_cast<int64_t>(kRecordSize);
  recordCount_ = static_cast<int32_t>(std::min<int64_t>(records, INT32_MAX));
  if (readRecord() == 0) {
    closeProgramFile();
    ports_.log.addLogLine("Error accessing file " + fileName_);
    return notStarted(ServiceOperation::Program, NotStartedReason::ImageNotOpened, 0,
                      "holds no record");
  }
  runStartPdus_ = pdus_.pdusBuilt();
  runUnit_ = registry_.selectedUnit();
  run_ = RunResult{};
  if (runUnit_) run_.unit = *runUnit_;
  const int32_t recordCount = recordCount_;
  notify([recordCount](LoaderOutcomes& l) { l.runStarted(recordCount); });
  ports_.log.addLogLine("Programming from " + fileName_);
  ports_.log.addLogLine(ports_.clock.timeOfDay());
  if (!sendProgramRecord()) return;
  ports_.timer.enable();
  armedRole_ = TimerRole::ProgramSupervisor;
  retries_ = 0;
  setBusyState();
}

// A file that shrinks during a run (truncated on its share, say) must not end the run as
// complete, nor send a record only partly read from it: the unit would hold half an image.
size_t LoaderService::readRecord() {
  const size_t n = file_->read(record_);
  bytesRead_ += static_cast<int64_t>(n);
  if (n < kRecordSize && bytesRead_ < fileSize_)
    throw PlatformError("the file ended after " + std::to_string(bytesRead_) + " of its " +
                        std::to_string(fileSize_) + " bytes");
  return n;
}

// Records go to the unit the run started with. A send the network refuses ends the run: no
// watchdog could ever see an answer to it. False when the run ended so.
bool LoaderService::sendProgramRecord() {
  if (!runUnit_) return true;
  try {
    send(pdus_.programRecord(*runUnit_, record_));
  } catch (const PlatformError& error) {
    ports_.log.addLogLine(std::string("FAILED - Send Error Programming UVQ: ") + error.what());
    disableTimer();
    const int i = registry_.SelectedUvqIndex();
    setReadyState(i >= 0 ? StatusWord(registry_.entry(i)) : 0);
    endRun(RunEnd::LinkError, 0, error.what());
    return false;
  }
  return true;
}

// Returns false when the run was aborted (the front end then skips its IP display refresh).
bool LoaderService::processRecordAcknowledge(const ReplyImage& reply, uint16_t status) {
  disableTimer();
  if (status & Status::kNotInLoaderMode) {
    ports_.log.addLogLine("ERROR - System not in Loader Mode");
    ports_.log.addLogLine("  Programming Aborted");
    reportStatusReply(reply);
    const bool wasOpen = file_ != nullptr;
    closeProgramFile();
    setReadyState(status);
    if (wasOpen) endRun(RunEnd::NotInLoaderMode, status);
    return false;
  }
  if (status & kRunAbortingBits) {
    setReadyState(status);
    ports_.log.addLogLine("ERROR - Error during Programming");
    for (const StatusFlag& flag : kStatusFlagsInPrintOrder)
      if (flag.abortsRun() && (status & flag.bit)) ports_.log.addLogLine(flag.abortLine);
    ports_.log.addLogLine("  Programming Aborted");
    // The report comes after the file is closed: it may select another unit.
    const bool wasOpen = file_ != nullptr;
    closeProgramFile();
    reportStatusReply(reply);
    if (wasOpen) endRun(RunEnd::RecordError, status);
    return false;
  }
  if (!file_) {
    // A late answer (after a failure, an abort or a completed run) is no completed run.
    ports_.log.addLogLine(
        "Record acknowledgement received while no programming run is in progress");
    reportStatusReply(reply);
    setReadyState(status);
    return true;
  }
  ++run_.acknowledged;
  if (status & kRecordRefusingBits) ++run_.refusedRecords;
  // Only the last acknowledgement counts: a unit saying so on a middle record has not finished.
  run_.fileFinished = (status & Status::kFileDone) != 0;
  size_t n = 0;
  try {
    n = readRecord();
  } catch (const PlatformError& error) {
    ports_.log.addLogLine("Error reading file " + fileName_ + ": " + error.what());
    setReadyState(status);
    endRun(RunEnd::FileError, status, error.what());
    return true;
  }
  const uint64_t sent = pdus_.pdusBuilt() - runStartPdus_;
  const int32_t recordCount = recordCount_;
  const uint64_t acknowledged = run_.acknowledged;
  notify([&](LoaderOutcomes& l) { l.runProgress(sent, recordCount, acknowledged); });
  if (n == 0) {
    completeRun(reply, status);
    return true;
  }
  if (!sendProgramRecord()) return true;
  ports_.timer.setInterval(timing_.programWatchdogMs);
  ports_.timer.enable();
  armedRole_ = TimerRole::ProgramSupervisor;
  retries_ = 0;
  return true;
}

void LoaderService::completeRun(const ReplyImage& reply, uint16_t status) {
  if (runOptions_.beep) ports_.tone.beep();
  ports_.log.addLogLine("Programming Complete");
  reportStatusReply(reply);
  setReadyState(status);
  endRun(RunEnd::Complete, status);
  if (runOptions_.autoReset) {
    sendUnitCommand(Command::Reset);
    ports_.log.addLogLine("Auto Reset UVQ");
    ports_.log.addLogLine(ports_.clock.timeOfDay());
  }
  if (runOptions_.autoClear) registry_.empty();
}

// Closes the file and tells how the run ended; the lines and the control state are the
// caller's, as each way of ending has its own.
void LoaderService::endRun(RunEnd end, uint16_t status, std::string detail) {
  closeProgramFile();
  runUnit_.reset();
  run_.end = end;
  run_.status = status;
  run_.detail = std::move(detail);
  notify([this](LoaderOutcomes& l) { l.runEnded(run_); });
}

void LoaderService::programSupervisor() {
  disableTimer();
  ++retries_;
  if (retries_ <= timing_.programResends) {
    ++run_.resends;
    if (!sendProgramRecord()) return;
    ports_.timer.setInterval(timing_.programWatchdogMs);
    ports_.timer.enable();
    armedRole_ = TimerRole::ProgramSupervisor;
    return;
  }
  ports_.log.addLogLine("FAILED - Comms Timeout Error Programming UVQ");
  const int i = registry_.SelectedUvqIndex();
  setReadyState(i >= 0 ? StatusWord(registry_.entry(i)) : 0);
  if (file_)
    endRun(RunEnd::CommsTimeout, 0);
  else
    closeProgramFile();
}

void LoaderService::closeProgramFile() {
  file_.reset();
}

}  // namespace uvq

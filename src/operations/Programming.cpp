#include <climits>
#include <cstdio>
#include <string>

#include "operations/Engine.h"
#include "protocol/StatusFlags.h"

namespace uvq {

using namespace protocol;

void Engine::BSourceClick(const std::function<std::optional<std::string>()>& chooseFile) {
  fileName_.clear();
  ports_.controls.setText(ControlId::ESource, "");
  sourceSelected_ = false;
  if (const std::optional<std::string> chosen = chooseFile()) {
    fileName_ = *chosen;
    sourceSelected_ = true;
    ports_.controls.setEnabled(ControlId::BProgram, loaderMode_);
  }
  ports_.controls.setText(ControlId::ESource, fileName_);
}

void Engine::BProgramClick() {
  ports_.timer.disable();
  ports_.timer.setHandler(TimerRole::ProgramSupervisor);
  ports_.timer.setInterval(timing_.programWatchdogMs);
  closeProgramFile();  // a run left open by a capture in between starts afresh
  file_ = fileName_.empty() ? nullptr : ports_.files.openForReading(fileName_);
  if (!file_) {
    ports_.log.addLogLine("File " + fileName_ + " not found");
    return;
  }
  pdus_.setCounter(0);
  captureAttempts_ = 0;
  size_t n = 0;
  try {
    fileSize_ = file_->size();
    bytesRead_ = 0;
    const int64_t records = fileSize_ / static_cast<int64_t>(kRecordSize);
    recordCount_ = static_cast<int32_t>(std::min<int64_t>(records, INT32_MAX));
    n = readRecord();
  } catch (const PlatformError&) {
    closeProgramFile();  // a run that never started holds no file
    throw;
  }
  if (n == 0) {
    closeProgramFile();
    ports_.log.addLogLine("Error accessing file " + fileName_);
    return;
  }
  shownProgress_ = -1;
  runStartPdus_ = pdus_.pdusBuilt();
  events_->programmingStarted(recordCount_);
  ports_.log.addLogLine("Programming from " + fileName_);
  ports_.log.addLogLine(ports_.clock.timeOfDay());
  SendProgramRecord();
  ports_.timer.enable();
  retries_ = 0;
  SetBusyState();
}

// A file that shrinks during a run (truncated on its share, say) must not end the run as
// complete, nor send a record only partly read from it: the unit would hold half an image.
size_t Engine::readRecord() {
  const size_t n = file_->read(record_);
  bytesRead_ += static_cast<int64_t>(n);
  if (n < kRecordSize && bytesRead_ < fileSize_)
    throw PlatformError("the file ended after " + std::to_string(bytesRead_) + " of its " +
                        std::to_string(fileSize_) + " bytes");
  return n;
}

void Engine::SendProgramRecord() {
  if (const std::optional<UvqId> unit = registry_.selectedUnit())
    send(pdus_.programRecord(*unit, record_));
}

// Returns false when the run was aborted (the dispatcher then skips the IP display refresh).
bool Engine::ProcessRecordAcknowledge(const ReplyImage& reply, uint16_t status) {
  ports_.timer.disable();
  if (status & Status::kNotInLoaderMode) {
    ports_.log.addLogLine("ERROR - System not in Loader Mode");
    ports_.log.addLogLine("  Programming Aborted");
    ReportStatusReply(reply);
    closeProgramFile();
    SetReadyState(status);
    events_->programmingEnded(RunOutcome::NotInLoaderMode);
    return false;
  }
  if (status & Status::kRecordErrors) {
    SetReadyState(status);
    ports_.log.addLogLine("ERROR - Error during Programming");
    if (status & Status::kFrameLengthError) ports_.log.addLogLine("  record frame length error");
    if (status & Status::kFramingError) ports_.log.addLogLine("  record framing error");
    if (status & Status::kChecksumError) ports_.log.addLogLine("  record checksum error");
    if (status & Status::kMissingType4) ports_.log.addLogLine("  missing Type 4 record");
    ports_.log.addLogLine("  Programming Aborted");
    closeProgramFile();
    ReportStatusReply(reply);
    events_->programmingEnded(RunOutcome::RecordError);
    return false;
  }
  if (!file_) {
    // A late answer (after a failure, an abort or a completed run) is no completed run.
    ports_.log.addLogLine(
        "Record acknowledgement received while no programming run is in progress");
    ReportStatusReply(reply);
    SetReadyState(status);
    return true;
  }
  size_t n = 0;
  try {
    n = readRecord();
  } catch (const PlatformError& error) {
    ports_.log.addLogLine("Error reading file " + fileName_ + ": " + error.what());
    closeProgramFile();
    SetReadyState(status);
    events_->programmingEnded(RunOutcome::FileError);
    return true;
  }
  showProgress();
  if (n == 0) {
    completeRun(reply, status);
    return true;
  }
  SendProgramRecord();
  ports_.timer.setInterval(timing_.programWatchdogMs);
  ports_.timer.enable();
  retries_ = 0;
  return true;
}

// The figure counts the PDUs sent since the run started (resends and other commands too), so
// it can pass 100 %. They are counted without the 16-bit wrap of the sequence counter, which
// would make the figure of an image over 65535 records start again from zero.
void Engine::showProgress() {
  const uint64_t sent = pdus_.pdusBuilt() - runStartPdus_;
  events_->programmingProgress(sent, recordCount_);
  if (recordCount_ <= 0) return;  // a file shorter than one record has no figure
  const auto figure = static_cast<int32_t>(
      std::min<uint64_t>(sent * 10000u / static_cast<uint64_t>(recordCount_), INT32_MAX));
  if (figure == shownProgress_) return;  // same text as shown
  shownProgress_ = figure;
  // Single precision and the locale's decimal separator, as the caption always showed it.
  char text[32];
  std::snprintf(text, sizeof text, "%.2f %%",
                static_cast<double>(static_cast<float>(figure) / 100.0f));
  ports_.controls.setText(ControlId::Form, text);
}

void Engine::completeRun(const ReplyImage& reply, uint16_t status) {
  ports_.controls.setText(ControlId::Form, "Ethernet Loader - Programing Completed");
  if (ports_.controls.isChecked(ControlId::CheckBox1)) ports_.tone.beep();
  ports_.log.addLogLine("Programming Complete");
  ReportStatusReply(reply);
  closeProgramFile();
  SetReadyState(status);
  events_->programmingEnded(RunOutcome::Complete);
  if (ports_.controls.isChecked(ControlId::CheckBox2)) {
    SendResetCommand();
    ports_.log.addLogLine("Auto Reset UVQ");
    ports_.log.addLogLine(ports_.clock.timeOfDay());
  }
  if (ports_.controls.isChecked(ControlId::CheckBox3)) registry_.empty();
}

void Engine::ProgramSupervisor() {
  ports_.timer.disable();
  ++retries_;
  if (retries_ <= timing_.programResends) {
    SendProgramRecord();
    ports_.timer.setInterval(timing_.programWatchdogMs);
    ports_.timer.enable();
    return;
  }
  ports_.log.addLogLine("FAILED - Comms Timeout Error Programming UVQ");
  const int i = registry_.SelectedUvqIndex();
  SetReadyState(i >= 0 ? StatusWord(registry_.entry(i)) : 0);
  const bool wasOpen = file_ != nullptr;
  closeProgramFile();
  if (wasOpen) events_->programmingEnded(RunOutcome::CommsTimeout);
}

void Engine::closeProgramFile() {
  file_.reset();
}

}  // namespace uvq

#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ExitCode.h"
#include "operations/EraseKinds.h"
#include "operations/LoaderService.h"

namespace uvq::cli {

enum class Operation { Locate, Status, Capture, Program, Erase, Reset, SetIp };

// What one target's session does; the same for every target of a run.
struct SessionPlan {
  Operation operation = Operation::Locate;
  EraseKind eraseKind = EraseKind::Device;
  std::string imageFile;                  // program
  std::string newAddress;                 // set-ip, already checked
  std::optional<std::string> accessCode;  // sent as a live reboot request before capturing
  std::optional<std::string> unitId;      // four upper-case hex digits
  int waitMs = 1000;                      // answers to locate, status, reset, set-ip
  bool autoReset = true;
  bool beep = false;
  Timing timing;
};

struct CliOptions {
  SessionPlan plan;
  std::vector<std::string> targets;  // empty: the settings file's address
  bool json = false;
  bool quiet = false;
};

// Either options to run with, or the code to exit with at once (help: 0, bad usage: 2). Help
// and usage errors have been printed already.
struct ParsedOptions {
  std::optional<CliOptions> options;
  ExitCode exitCode = ExitCode::Ok;
};

ParsedOptions ParseCliOptions(int argc, char** argv);

// "12ab" -> "12AB"; 1 to 4 hex digits, zero-padded. nullopt for anything else.
std::optional<std::string> NormalizedUnitId(const std::string& text);

}  // namespace uvq::cli

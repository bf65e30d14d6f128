// uvq: the loader for scripts and production lines. The same engine as the window, driven from
// the command line; see README.md for the subcommands and exit codes.
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "CliOptions.h"
#include "EventLoop.h"
#include "Output.h"
#include "Progress.h"
#include "Session.h"
#include "Summary.h"
#include "platform/AlsaTone.h"
#include "platform/PosixFileSystem.h"
#include "platform/SystemClock.h"
#include "settings/SettingsFile.h"

namespace {

using namespace uvq::cli;

// The beep is off unless asked for; CheckBox1 is unticked then and this is never called.
class SilentTone final : public uvq::Tone {
 public:
  void beep() override {}
};

// The image is checked before anything is sent, so a typo never half-captures a unit.
bool CheckImage(uvq::FileSystem& files, const std::string& path) {
  const std::unique_ptr<uvq::RecordFile> file = files.openForReading(path);
  if (!file) {
    std::fprintf(stderr, "uvq: cannot open image '%s'\n", path.c_str());
    return false;
  }
  try {
    if (file->size() <= 0) {
      std::fprintf(stderr, "uvq: image '%s' is empty\n", path.c_str());
      return false;
    }
  } catch (const uvq::PlatformError& error) {
    std::fprintf(stderr, "uvq: cannot read image '%s': %s\n", path.c_str(), error.what());
    return false;
  }
  return true;
}

int Run(CliOptions& options) {
  if (options.targets.empty()) {
    // Only the settings file beside the program, as before; a file that names no address is
    // said on standard error, so a script does not aim at the default unknowingly.
    const std::string executable = uvq::settings::ExecutablePath();
    std::vector<std::string> settingsPaths;
    if (!executable.empty()) settingsPaths.push_back(uvq::settings::SettingsPathFor(executable));
    const uvq::settings::TargetSetting setting =
        uvq::settings::ReadTargetSettingFrom(settingsPaths);
    if (const auto notice = uvq::settings::TargetSettingNotice(setting))
      std::fprintf(stderr, "uvq: %s\n", notice->c_str());
    options.targets.push_back(setting.address);
  }

  uvq::platform::PosixFileSystem files;
  if (options.plan.operation == Operation::Program && !CheckImage(files, options.plan.imageFile))
    return ToInt(ExitCode::File);

  const bool severalTargets = options.targets.size() > 1;
  Output output(stdout, options.json ? Output::Mode::Json : Output::Mode::Text, options.quiet,
                severalTargets);
  Progress::Style style = Progress::Style::None;
  if (!options.quiet) {
    if (isatty(STDERR_FILENO))
      style = Progress::Style::Bar;
    else
      style = options.json ? Progress::Style::Events : Progress::Style::Lines;
  }
  Progress progress(stderr, style, output, severalTargets);

  uvq::platform::SystemClock clock;
  SilentTone silent;
  std::unique_ptr<uvq::platform::AlsaTone> alsa;
  if (options.plan.beep) alsa = std::make_unique<uvq::platform::AlsaTone>();
  uvq::Tone& tone = alsa ? static_cast<uvq::Tone&>(*alsa) : silent;

  std::vector<std::unique_ptr<Session>> sessions;
  sessions.reserve(options.targets.size());
  for (const std::string& target : options.targets)
    sessions.push_back(
        std::make_unique<Session>(target, options.plan, output, SharedPorts{clock, tone, files}));
  RunSessions(sessions, output, progress);

  std::vector<ExitCode> codes;
  int ok = 0;
  for (const auto& session : sessions) {
    codes.push_back(session->result().code);
    if (session->result().code == ExitCode::Ok) ++ok;
  }
  const ExitCode code = CombinedExitCode(codes);
  if (options.json) {
    JsonLine fields;
    fields.field("ok", ok)
        .field("failed", static_cast<int>(sessions.size()) - ok)
        .field("exit_code", ToInt(code));
    output.event("", "summary", fields);
  } else {
    output.text(SummaryText(options.plan.operation, sessions));
  }
  output.flush();
  return ToInt(code);
}

}  // namespace

int main(int argc, char** argv) {
  ParsedOptions parsed = ParseCliOptions(argc, argv);
  if (!parsed.options) return ToInt(parsed.exitCode);
  try {
    return Run(*parsed.options);
  } catch (const std::exception& error) {
    std::fflush(stdout);
    std::fprintf(stderr, "uvq: %s\n", error.what());
    return ToInt(ExitCode::Internal);
  }
}

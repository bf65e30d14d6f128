// SPDX-License-Identifier: Apache-2.0
// The settings reader on arbitrary text: the looked-up section and key come first, the rest is
// the file. Reading it back from a real file must give the same answer as reading the text.

#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>

#include "FuzzEntries.h"
#include "FuzzFailure.h"
#include "FuzzInput.h"
#include "settings/ProfileReader.h"
#include "settings/SettingsFile.h"

namespace uvq::fuzz {

void FuzzSettingsReader(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const std::string section = in.text(40);
  const std::string key = in.text(40);
  const std::string executable = in.text(80);
  const std::string text = in.text(255) + in.text(255) + in.text(255);
  constexpr std::string_view kDefault =
      "\x01"
      "default";

  const std::string found = settings::FindProfileString(text, section, key, kDefault);
  UVQ_FUZZ_CHECK(found == kDefault || found.size() <= settings::kMaxProfileValueLength);
  UVQ_FUZZ_CHECK(found == kDefault || text.find(found) != std::string::npos);

  // One file per process, written for each input and removed again before anything is checked,
  // so that neither a run nor a failed check leaves it behind.
  static const std::string path = "/tmp/uvq-fuzz-settings-" + std::to_string(::getpid()) + ".INI";
  if (FILE* file = std::fopen(path.c_str(), "wb")) {
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
    const std::string readBack = settings::ReadProfileString(path, section, key, kDefault);
    const settings::TargetSetting target = settings::ReadTargetSettingFrom({path});
    ::unlink(path.c_str());
    UVQ_FUZZ_CHECK(readBack == found);

    // The target comes from the file when it names one, and falls back saying so otherwise.
    const std::optional<std::string> named = settings::FindProfileValue(text, "Net", "Address");
    UVQ_FUZZ_CHECK(target.path == path && target.fellBack == !named);
    UVQ_FUZZ_CHECK(target.address == named.value_or(settings::kDefaultTargetAddress));
    UVQ_FUZZ_CHECK(settings::TargetSettingNotice(target).has_value() == target.fellBack);
  }

  // The settings file's name: always the executable's own name with the ".INI" extension.
  const std::string ini = settings::SettingsPathFor(executable);
  UVQ_FUZZ_CHECK(ini.size() >= 4 && ini.compare(ini.size() - 4, 4, ".INI") == 0);
}

}  // namespace uvq::fuzz

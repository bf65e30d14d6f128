// SPDX-License-Identifier: Apache-2.0
// The target-address part rules on arbitrary text.

#include <string>

#include "FuzzEntries.h"
#include "FuzzFailure.h"
#include "FuzzInput.h"
#include "protocol/IntegerText.h"
#include "settings/TargetAddress.h"

namespace uvq::fuzz {

void FuzzAddressSplit(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const settings::AddressParts parts = settings::SplitAddress(text);
  // Parts are filled from the first on, and four parts put back together give the text again.
  for (size_t i = 1; i < parts.size(); ++i) UVQ_FUZZ_CHECK(!parts[i] || parts[i - 1]);
  if (parts[3]) {
    UVQ_FUZZ_CHECK(settings::JoinAddress(*parts[0], *parts[1], *parts[2], *parts[3]) == text);
  }

  for (const auto& part : parts) {
    const std::string_view input = part ? std::string_view(*part) : std::string_view(text);
    const std::optional<int32_t> before = protocol::ParseIntegerText(input);
    for (bool up : {true, false}) {
      const settings::PartStep step = settings::StepPart(input, up);
      UVQ_FUZZ_CHECK(step.value.has_value() == before.has_value());
      if (!step.value) {
        UVQ_FUZZ_CHECK(!step.error.empty());
        continue;
      }
      // One step at most, never out of 0..255 from inside it, and never away from it.
      const std::optional<int32_t> after = protocol::ParseIntegerText(*step.value);
      UVQ_FUZZ_CHECK(after.has_value());
      const int64_t moved = int64_t{*after} - int64_t{*before};
      UVQ_FUZZ_CHECK(moved >= -1 && moved <= 1);
      if (*before >= 0 && *before <= 255) UVQ_FUZZ_CHECK(*after >= 0 && *after <= 255);
    }
  }
}

}  // namespace uvq::fuzz

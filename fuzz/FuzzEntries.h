// SPDX-License-Identifier: Apache-2.0
#pragma once

// The fuzzed entry points, one per target. The libFuzzer programs and the regression suite
// (tests/fuzz_regressions) call exactly these, so a saved input replays the same way in both.

#include <cstddef>
#include <cstdint>

namespace uvq::fuzz {

// How far a reply-path input got, from the service's own outcomes.
struct ReplyPathReach {
  int loaderModes = 0;
  int runsStarted = 0;
  int runsCompleted = 0;
  int runsFailed = 0;  // any other outcome of a started run
  int erasesEnded = 0;
  size_t sends = 0;
};

// Datagrams, clicks and timer ticks chosen by the input, through the window's rules on the loader
// service, on recording ports.
ReplyPathReach FuzzReplyPath(const uint8_t* data, size_t size);
// FindProfileString, ReadProfileString and ReadTargetSettingFrom on arbitrary settings text;
// SettingsPathFor.
void FuzzSettingsReader(const uint8_t* data, size_t size);
// SplitAddress, StepPart and JoinAddress on arbitrary text.
void FuzzAddressSplit(const uint8_t* data, size_t size);
// ParseIntegerText, ParseIpAddressParts, ParseUnitIpAddress and the link's numeric-target rule on
// arbitrary text.
void FuzzAddressParsing(const uint8_t* data, size_t size);

}  // namespace uvq::fuzz

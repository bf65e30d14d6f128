// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "FaultPlan.h"
#include "UnitModel.h"

namespace uvq::sim {

struct SimOptions {
  Ipv4 bind{127, 0, 0, 1};   // the first (or only) address listened on
  unsigned addresses = 1;    // consecutive addresses from `bind`, each with its own units
  bool unitIpGiven = false;  // --unit-ip given: every address's first unit reports it
  // --same-id: every address of a range has units of the IDs from --id (as one batch flashed
  // with one ID); else each address's first unit takes AddressUnitId().
  bool sameId = false;
  uint16_t port = 16388;  // 0: any free port (printed at start)
  unsigned units = 1;
  UnitConfig firstUnit;  // the others take the following IDs and IP addresses
  std::string dumpMemory;
  std::string expect;
  bool quiet = false;
  // --one-socket: a range served through one socket bound to the loopback device (root only),
  // read and written in batches; it holds the port on every loopback address while it runs.
  bool oneSocket = false;
  FaultOptions faults;
};

struct MakeImageOptions {
  std::string input;
  std::string output;
  uint32_t base = 0;
  std::optional<std::string> identity;
};

struct ParsedCommandLine {
  enum class Action { kRun, kMakeImage, kExit } action = Action::kExit;
  int exitCode = 0;  // for kExit: help (0) or a bad argument (non-zero, already reported)
  SimOptions sim;
  MakeImageOptions makeImage;
};

// Parses the command line; prints help on stdout and errors as one line on stderr.
ParsedCommandLine ParseCommandLine(int argc, char** argv);

// Number and address forms accepted on the command line (exposed for the tests).
// Hexadecimal with or without "0x" for IDs and status bits:
std::optional<uint32_t> ParseHex(const std::string& text, uint32_t max);
// Decimal, or hexadecimal after "0x":
std::optional<uint32_t> ParseNumber(const std::string& text, uint32_t max);
std::optional<Ipv4> ParseIpv4(const std::string& text);
// "127.0.1.1" or a range "127.0.1.1-127.0.1.255" (first not above last): first address, count.
struct AddressRange {
  Ipv4 first{};
  uint32_t count = 1;
};
std::optional<AddressRange> ParseAddressRange(const std::string& text);
// The address `steps` after `ip`, carrying into the higher bytes.
Ipv4 NextAddress(Ipv4 ip, uint32_t steps = 1);
// The ID of the first of `units` units at `ip` of a range: the address's last two bytes
// (127.0.1.5: 0105; 127.0.1.51: 0133), so that each address of a range has its own and a run
// gives the same as the one before. x.y.0.0 takes 8000 (0000 names every unit); the IDs of the
// further units follow, moved down where they would pass FFFF.
uint16_t AddressUnitId(Ipv4 ip, unsigned units);
// Most addresses one emulator serves: one socket each, within the default descriptor limit.
inline constexpr uint32_t kMaxAddresses = 2048;

}  // namespace uvq::sim

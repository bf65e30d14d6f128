// SPDX-License-Identifier: Apache-2.0
#include "Options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cstdio>

#include "protocol/IpAddressText.h"
#include "protocol/PduLayout.h"
#include "uvq/Version.h"

namespace uvq::sim {
namespace {

std::optional<uint32_t> ParseDigits(std::string_view text, int base, uint32_t max) {
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (ec != std::errc() || end != text.data() + text.size() || value > max) return std::nullopt;
  return static_cast<uint32_t>(value);
}

bool HasHexPrefix(std::string_view t) {
  return t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X');
}

// CLI11 validators report a bad value as a message; an empty message accepts it.
CLI::Validator Accepts(std::function<bool(const std::string&)> ok, const std::string& what) {
  return CLI::Validator(
      [ok, what](std::string& value) { return ok(value) ? std::string() : what + ": " + value; },
      "", what);
}

}  // namespace

std::optional<uint32_t> ParseHex(const std::string& text, uint32_t max) {
  std::string_view t = text;
  if (HasHexPrefix(t)) t.remove_prefix(2);
  return ParseDigits(t, 16, max);
}

std::optional<uint32_t> ParseNumber(const std::string& text, uint32_t max) {
  std::string_view t = text;
  if (HasHexPrefix(t)) return ParseDigits(t.substr(2), 16, max);
  return ParseDigits(t, 10, max);
}

std::optional<Ipv4> ParseIpv4(const std::string& text) {
  return protocol::ParseDottedAddress(text);
}

namespace {

uint32_t AsNumber(const Ipv4& ip) {
  return uint32_t{ip[0]} << 24 | uint32_t{ip[1]} << 16 | uint32_t{ip[2]} << 8 | ip[3];
}

}  // namespace

Ipv4 NextAddress(Ipv4 ip, uint32_t steps) {
  const uint32_t n = AsNumber(ip) + steps;
  return {static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16),
          static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
}

uint16_t AddressUnitId(Ipv4 ip, unsigned units) {
  uint32_t id = AsNumber(ip) & 0xFFFF;
  // Half the ID space away: no range is long enough to hold the address that has it too.
  if (id == 0) id = 0x8000;
  const uint32_t count = std::max(units, 1u);
  if (id + count - 1 > 0xFFFF) id = 0xFFFF - count + 1;
  return static_cast<uint16_t>(id);
}

std::optional<AddressRange> ParseAddressRange(const std::string& text) {
  const size_t dash = text.find('-');
  const auto first = ParseIpv4(text.substr(0, dash));
  if (!first) return std::nullopt;
  if (dash == std::string::npos) return AddressRange{*first, 1};
  const auto last = ParseIpv4(text.substr(dash + 1));
  if (!last || AsNumber(*last) < AsNumber(*first)) return std::nullopt;
  return AddressRange{*first, AsNumber(*last) - AsNumber(*first) + 1};
}

ParsedCommandLine ParseCommandLine(int argc, char** argv) {
  ParsedCommandLine parsed;
  SimOptions& o = parsed.sim;
  CLI::App app{"uvq-sim: an emulated UVQ unit (or several) listening for control PDUs on UDP"};
  app.require_subcommand(0, 1);
  app.set_version_flag("--version", std::string("uvq-sim ") + kVersion);

  std::string bind = "127.0.0.1", id = "0100", unitIp, errorBits = "0", garbage = "none";
  app.add_option("--bind", bind,
                 "IPv4 address to listen on, or a range A-B of at most " +
                     std::to_string(kMaxAddresses) +
                     " of them, each with its own units (loopback 127.x.y.z only)")
      ->capture_default_str()
      ->check(Accepts([](const std::string& v) { return ParseAddressRange(v).has_value(); },
                      "not an IPv4 address or range A-B"));
  app.add_option("--port", o.port, "UDP port (0: any free port)")->capture_default_str();
  app.add_option("--units", o.units, "number of emulated units behind the address")
      ->capture_default_str()
      ->check(CLI::Range(1, 64));
  auto* idOption =
      app.add_option("--id", id,
                     "UVQ ID of the first unit, hexadecimal; others follow (a range: with "
                     "--same-id only, else each address's ID comes from the address)")
          ->capture_default_str()
          ->check(Accepts([](const std::string& v) { return ParseHex(v, 0xFFFF).value_or(0) != 0; },
                          "not a non-zero 16-bit hexadecimal ID"));
  app.add_flag("--same-id", o.sameId,
               "a range: every address's units take the IDs from --id (default: each address "
               "its own ID, its last two bytes in hex: 127.0.1.5 is 0105)");
  app.add_option("--unit-ip", unitIp, "IP address reported by the first unit (default: --bind)")
      ->check(Accepts([](const std::string& v) { return ParseIpv4(v).has_value(); },
                      "not an IPv4 address"));
  app.add_flag("--loader-mode", o.firstUnit.startInLoaderMode, "units start in loader mode");
  auto* code = app.add_option("--access-code", o.firstUnit.accessCode,
                              "text a capture must carry to reboot a running unit")
                   ->check(CLI::Validator(
                       [](std::string& v) {
                         return v.size() <= protocol::kMaxAccessCodeLength
                                    ? std::string()
                                    : std::string("access code longer than 249 bytes");
                       },
                       "", "code length"));
  app.add_flag("--capture-needs-code", o.firstUnit.captureNeedsCode,
               "a capture without the access code does not enter loader mode")
      ->needs(code);
  app.add_option("--dump-memory", o.dumpMemory,
                 "write program memory here after each image and at exit");
  app.add_option("--expect", o.expect, "compare program memory with this binary after each image")
      ->check(CLI::ExistingFile);
  app.add_flag("--quiet", o.quiet, "no per-PDU log");
  app.add_flag("--one-socket", o.oneSocket,
               "serve a range through one socket on the loopback device (root): less CPU per "
               "reply; holds the port on every loopback address while it runs");

  FaultOptions& f = o.faults;
  app.add_option("--drop", f.drop, "share of replies dropped (0..1)")->check(CLI::Range(0.0, 1.0));
  app.add_option("--duplicate", f.duplicate, "share of replies sent twice (0..1)")
      ->check(CLI::Range(0.0, 1.0));
  app.add_option("--reorder", f.reorder, "share of replies sent after the next one (0..1)")
      ->check(CLI::Range(0.0, 1.0));
  app.add_option("--wrong-seq", f.wrongSeq, "share of replies with a wrong sequence number (0..1)")
      ->check(CLI::Range(0.0, 1.0));
  app.add_option("--delay-ms", f.delayMs, "delay every reply")->check(CLI::Range(0, 60000));
  app.add_option("--jitter-ms", f.jitterMs, "random extra delay up to this")
      ->check(CLI::Range(0, 60000));
  auto* bits =
      app.add_option("--error-bits", errorBits, "status bits (hex) set on record K")
          ->check(Accepts([](const std::string& v) { return ParseHex(v, 0xFFFF).has_value(); },
                          "not a 16-bit hexadecimal value"));
  auto* record = app.add_option("--error-record", f.errorRecord,
                                "program record number K (from 1, per unit) for --error-bits")
                     ->check(CLI::Range(1u, UINT32_MAX));
  bits->needs(record);
  record->needs(bits);
  app.add_flag("--silent", f.silent, "never answer");
  app.add_option("--garbage", garbage, "send a bad datagram before each reply")
      ->check(CLI::IsMember({"none", "over-long", "zero", "short"}));
  app.add_option("--garbage-flood-ms", f.floodMs,
                 "also send a bad datagram to the last peer this often")
      ->check(CLI::Range(1, 60000));
  app.add_option("--erase-delay-ms", f.eraseDelayMs, "answer erase commands this late")
      ->check(CLI::Range(0, 600000));
  app.add_option("--seed", f.seed, "seed of the fault generator")->capture_default_str();

  MakeImageOptions& m = parsed.makeImage;
  std::string base = "0";
  auto* make = app.add_subcommand("make-image", "turn a binary into a .cry image");
  make->add_option("input", m.input, "binary file")->required()->check(CLI::ExistingFile);
  make->add_option("output", m.output, ".cry file to write")->required();
  make->add_option("--base", base, "address of the first byte (decimal or 0x hex)")
      ->capture_default_str()
      ->check(Accepts([](const std::string& v) { return ParseNumber(v, UINT32_MAX).has_value(); },
                      "not a 32-bit address"));
  make->add_option("--id-record", m.identity, "start with an ID record carrying this text");

  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {  // --help, --version
    parsed.exitCode = app.exit(e);
    return parsed;
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "uvq-sim: %s\n", e.what());
    parsed.exitCode = 2;
    return parsed;
  }

  if (make->parsed()) {
    m.base = *ParseNumber(base, UINT32_MAX);
    parsed.action = ParsedCommandLine::Action::kMakeImage;
    return parsed;
  }
  const AddressRange range = *ParseAddressRange(bind);
  o.bind = range.first;
  o.addresses = range.count;
  if (o.bind[0] != 127 || NextAddress(o.bind, o.addresses - 1)[0] != 127) {
    // The emulator is for loopback only: it must never answer on a real network.
    std::fprintf(stderr, "uvq-sim: --bind must be a loopback address (127.x.y.z): %s\n",
                 bind.c_str());
    parsed.exitCode = 2;
    return parsed;
  }
  if (o.addresses > kMaxAddresses) {
    std::fprintf(stderr, "uvq-sim: --bind %s: at most %u addresses\n", bind.c_str(), kMaxAddresses);
    parsed.exitCode = 2;
    return parsed;
  }
  if (o.addresses > 1 && idOption->count() > 0 && !o.sameId) {
    std::fprintf(stderr,
                 "uvq-sim: --id with a range needs --same-id (without it each address's ID comes "
                 "from the address)\n");
    parsed.exitCode = 2;
    return parsed;
  }
  o.firstUnit.id = static_cast<uint16_t>(*ParseHex(id, 0xFFFF));
  if (o.firstUnit.id + o.units - 1 > 0xFFFF) {
    std::fprintf(stderr, "uvq-sim: --id %s leaves no room for %u units\n", id.c_str(), o.units);
    parsed.exitCode = 2;
    return parsed;
  }
  o.unitIpGiven = !unitIp.empty();
  o.firstUnit.ip = unitIp.empty() ? o.bind : *ParseIpv4(unitIp);
  f.errorBits = static_cast<uint16_t>(*ParseHex(errorBits, 0xFFFF));
  f.garbage = garbage == "over-long" ? Garbage::kOverLong
              : garbage == "zero"    ? Garbage::kZero
              : garbage == "short"   ? Garbage::kShort
                                     : Garbage::kNone;
  parsed.action = ParsedCommandLine::Action::kRun;
  return parsed;
}

}  // namespace uvq::sim

// SPDX-License-Identifier: Apache-2.0
#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ImageMaker.h"
#include "Options.h"
#include "SimStation.h"

namespace {

// Standard streams, the signal descriptor, the wait and the --expect and --dump-memory files.
constexpr rlim_t kOtherDescriptors = 32;

// Up to the hard limit; a range that still does not fit fails at its socket with that error.
void RaiseDescriptorLimit(rlim_t wanted) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= wanted) return;
  limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

using namespace uvq::sim;

int MakeImageFile(const MakeImageOptions& m) {
  std::vector<uint8_t> binary;
  if (std::string problem; !ReadWholeFile(m.input, binary, problem)) {
    std::fprintf(stderr, "uvq-sim: cannot read %s: %s\n", m.input.c_str(), problem.c_str());
    return 1;
  }
  const auto records = MakeImage(binary, m.base, m.identity);
  if (!records) {
    std::fprintf(stderr,
                 "uvq-sim: %zu bytes at 0x%08X do not fit in program or data memory of the unit\n",
                 binary.size(), m.base);
    return 1;
  }
  if (std::string problem; !WriteImageFile(m.output, *records, problem)) {
    std::fprintf(stderr, "uvq-sim: cannot write %s: %s\n", m.output.c_str(), problem.c_str());
    return 1;
  }
  std::printf("uvq-sim: wrote %s: %zu records (%zu bytes) from %zu bytes of %s at 0x%08X\n",
              m.output.c_str(), records->size(), records->size() * uvq::protocol::kRecordSize,
              binary.size(), m.input.c_str(), m.base);
  return 0;
}

int Serve(const SimOptions& options) {
  // Signals arrive through a descriptor poll() watches, so stopping never interrupts a reply.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
  const int stopFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
  if (stopFd < 0) {
    std::fprintf(stderr, "uvq-sim: signalfd: %s\n", std::strerror(errno));
    return 1;
  }

  // One socket per address: a long range needs more descriptors than the usual soft limit.
  RaiseDescriptorLimit(options.addresses + kOtherDescriptors);
  SimStation station(options);
  std::string error;
  if (!station.open(error)) {
    std::fprintf(stderr, "uvq-sim: %s\n", error.c_str());
    return 1;
  }
  // Printed even with --quiet, once every address is bound: scripts and tests wait for it.
  std::printf("uvq-sim listening on %s\n", station.listeningText().c_str());
  std::fflush(stdout);
  station.run(stopFd);
  station.finish();
  std::fflush(stdout);
  ::close(stopFd);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // The log goes out in blocks, flushed once per burst of datagrams, not per line.
  static char outputBuffer[1 << 16];
  std::setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);

  const ParsedCommandLine parsed = ParseCommandLine(argc, argv);
  switch (parsed.action) {
    case ParsedCommandLine::Action::kMakeImage:
      return MakeImageFile(parsed.makeImage);
    case ParsedCommandLine::Action::kRun:
      return Serve(parsed.sim);
    case ParsedCommandLine::Action::kExit:
      break;
  }
  std::fflush(stdout);
  return parsed.exitCode;
}

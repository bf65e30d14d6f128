// SPDX-License-Identifier: Apache-2.0
// The wire's limit: stop-and-wait record PDUs to a unit and nothing else on the way, one thread,
// blocking calls. No program of the tool can move records faster over the same loopback.

#include <cstdio>
#include <exception>

#include "BareExchange.h"

using namespace uvq::bench;

int main(int argc, char** argv) try {
  const Arguments args = ParseArguments(argc, argv);
  const std::vector<Record> records = LoadRecords(args.image);
  sockaddr_in target{};
  const int fd = OpenSocket(args, target);
  Request pdu{};
  uint8_t reply[256];
  long resends = 0;

  const Clock::time_point start = Clock::now();
  for (size_t i = 0; i < records.size(); ++i) {
    const auto seq = static_cast<uint16_t>(i);
    BuildRequest(pdu, args.unit, seq, records[i]);
    for (;;) {
      ::sendto(fd, pdu.data(), pdu.size(), 0, reinterpret_cast<const sockaddr*>(&target),
               sizeof target);
      long n = 0;
      Answer answer = Answer::Other;
      // Strays (a late duplicate) are skipped; a time-out resends.
      while ((n = ::recv(fd, reply, sizeof reply, 0)) > 0 &&
             (answer = Classify(reply, n, seq)) == Answer::Other) {
      }
      if (answer == Answer::Refused) {
        std::fprintf(stderr, "record %zu refused by the unit\n", i);
        return 1;
      }
      if (answer == Answer::Accepted) break;
      ++resends;
    }
  }
  PrintResult("wire", records.size(), Clock::now() - start, resends);
  ::close(fd);
  return 0;
} catch (const std::exception& e) {
  std::fprintf(stderr, "uvq-bench-wire: %s\n", e.what());
  return 2;
}

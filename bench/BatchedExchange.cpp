// SPDX-License-Identifier: Apache-2.0
// A station's floor: the same record PDUs as a programming run, one in flight to each of N units
// at consecutive addresses, all through one socket and moved in batches (sendmmsg, recvmmsg),
// with nothing else on the way. Whatever a station does beyond the system's own send and
// receive work shows as CPU above this program's.
//   uvq-bench-batch --image FILE --units N [--first 127.0.7.1] [--port 16388] [--batch 64]
//                   [--limit-s 300]
// Prints one line: RESULT floor units=N records=R seconds=S cpu_us_per_record=C resends=K

#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <exception>

#include "BareExchange.h"

using namespace uvq::bench;

namespace {

constexpr unsigned kBatch = 1024;  // the most a sendmmsg/recvmmsg call takes (UIO_MAXIOV)
// A burst to many units can overrun the peer's receive queue; what it dropped goes again soon.
constexpr auto kResendAfter = std::chrono::milliseconds(50);
constexpr auto kScanEvery = std::chrono::milliseconds(10);

struct Options {
  std::string image;
  std::string first = "127.0.7.1";
  uint16_t port = 16388;
  uint16_t unit = 0x0100;
  uint32_t units = 1;
  long limitSeconds = 300;
  // Datagrams per sendmmsg: a whole station's records in one call arrive faster than the peer
  // drains its receive queue, and what overflows is lost and resent.
  unsigned batch = 64;
};

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const char* value = argv[i + 1];
    if (key == "--image")
      o.image = value;
    else if (key == "--first")
      o.first = value;
    else if (key == "--port")
      o.port = static_cast<uint16_t>(std::stoul(value));
    else if (key == "--unit")
      o.unit = static_cast<uint16_t>(std::stoul(value, nullptr, 16));
    else if (key == "--units")
      o.units = static_cast<uint32_t>(std::stoul(value));
    else if (key == "--batch")
      o.batch = static_cast<unsigned>(std::stoul(value));
    else if (key == "--limit-s")
      o.limitSeconds = std::stol(value);
    else
      throw std::runtime_error("unknown option " + key);
  }
  if (o.image.empty()) throw std::runtime_error("--image FILE is required");
  if (o.units < 1 || o.units > 65536) throw std::runtime_error("--units must be 1 to 65536");
  if (o.batch < 1 || o.batch > kBatch) throw std::runtime_error("--batch must be 1 to 1024");
  return o;
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct Unit {
  sockaddr_in address{};
  size_t next = 0;  // the record in flight
  Clock::time_point sent{};
  bool done = false;
};

}  // namespace

int main(int argc, char** argv) try {
  const Options o = Parse(argc, argv);
  const std::vector<Record> records = LoadRecords(o.image);

  in_addr first{};
  if (inet_pton(AF_INET, o.first.c_str(), &first) != 1)
    throw std::runtime_error("bad address " + o.first);
  const uint32_t base = ntohl(first.s_addr);
  // Every unit, the last included, on loopback: the benchmarks talk to emulated units only.
  if (base >> 24 != 127 || (base + o.units - 1) >> 24 != 127)
    throw std::runtime_error("every address must be 127.x.y.z");

  std::vector<Unit> units(o.units);
  for (uint32_t i = 0; i < o.units; ++i) {
    units[i].address.sin_family = AF_INET;
    units[i].address.sin_port = htons(o.port);
    units[i].address.sin_addr.s_addr = htonl(base + i);
  }

  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) throw std::runtime_error("socket: " + std::string(std::strerror(errno)));
  // A wait for replies ends after a while, so lost records are sent again.
  timeval wait{0, 10000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);

  // Outgoing: the PDUs of one batch; incoming: room for one reply per unit in flight.
  std::vector<Request> out(kBatch);
  std::vector<sockaddr_in> outTo(kBatch);
  std::vector<iovec> outIov(kBatch);
  std::vector<mmsghdr> outMsg(kBatch);
  std::vector<std::array<uint8_t, 256>> in(kBatch);
  std::vector<sockaddr_in> inFrom(kBatch);
  std::vector<iovec> inIov(kBatch);
  std::vector<mmsghdr> inMsg(kBatch);
  for (unsigned k = 0; k < kBatch; ++k) {
    inIov[k] = {in[k].data(), in[k].size()};
    inMsg[k].msg_hdr.msg_iov = &inIov[k];
    inMsg[k].msg_hdr.msg_iovlen = 1;
  }

  std::vector<uint32_t> due;  // units whose record goes out in the next batch
  due.reserve(o.units);
  const auto flush = [&] {
    for (size_t from = 0; from < due.size();) {
      const unsigned count = static_cast<unsigned>(std::min<size_t>(o.batch, due.size() - from));
      const Clock::time_point now = Clock::now();
      for (unsigned k = 0; k < count; ++k) {
        Unit& u = units[due[from + k]];
        BuildRequest(out[k], o.unit, static_cast<uint16_t>(u.next), records[u.next]);
        u.sent = now;
        outTo[k] = u.address;
        outIov[k] = {out[k].data(), out[k].size()};
        outMsg[k].msg_hdr = {};
        outMsg[k].msg_hdr.msg_name = &outTo[k];
        outMsg[k].msg_hdr.msg_namelen = sizeof outTo[k];
        outMsg[k].msg_hdr.msg_iov = &outIov[k];
        outMsg[k].msg_hdr.msg_iovlen = 1;
      }
      // A short count means the rest of the batch is sent by the next call.
      unsigned sent = 0;
      while (sent < count) {
        const int n = ::sendmmsg(fd, outMsg.data() + sent, count - sent, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw std::runtime_error("sendmmsg: " + std::string(std::strerror(errno)));
        sent += static_cast<unsigned>(n);
      }
      from += count;
    }
    due.clear();
  };

  const double cpuBefore = CpuSeconds();
  const Clock::time_point start = Clock::now();
  const Clock::time_point limit = start + std::chrono::seconds(o.limitSeconds);
  for (uint32_t i = 0; i < o.units; ++i) due.push_back(i);
  flush();

  uint32_t finished = 0;
  long resends = 0;
  Clock::time_point lastScan = start;
  while (finished < o.units) {
    for (unsigned k = 0; k < kBatch; ++k) {
      inMsg[k].msg_hdr.msg_name = &inFrom[k];
      inMsg[k].msg_hdr.msg_namelen = sizeof inFrom[k];
    }
    const int n = ::recvmmsg(fd, inMsg.data(), kBatch, MSG_WAITFORONE, nullptr);
    const Clock::time_point now = Clock::now();
    if (now > limit) throw std::runtime_error("not finished within --limit-s");
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
      throw std::runtime_error("recvmmsg: " + std::string(std::strerror(errno)));
    for (int k = 0; k < n; ++k) {
      // The sender's address names the unit; strays and late duplicates are skipped.
      const uint32_t index = ntohl(inFrom[k].sin_addr.s_addr) - base;
      if (index >= o.units || inFrom[k].sin_port != htons(o.port)) continue;
      Unit& u = units[index];
      if (u.done) continue;
      const Answer answer = Classify(in[k].data(), inMsg[k].msg_len, static_cast<uint16_t>(u.next));
      if (answer == Answer::Refused) {
        std::fprintf(stderr, "record %zu refused by unit %u\n", u.next, index);
        return 1;
      }
      if (answer != Answer::Accepted) continue;
      if (++u.next == records.size()) {
        u.done = true;
        ++finished;
      } else {
        due.push_back(index);
      }
    }
    // Records whose reply has not come within the time-out go again (looked for every few ms
    // only, so the floor does not walk every unit on every wake).
    for (uint32_t i = 0; now - lastScan >= kScanEvery && i < o.units; ++i) {
      Unit& u = units[i];
      if (u.done || now - u.sent < kResendAfter) continue;
      if (std::find(due.begin(), due.end(), i) != due.end()) continue;
      due.push_back(i);
      ++resends;
    }
    if (now - lastScan >= kScanEvery) lastScan = now;
    flush();
  }
  const Clock::duration elapsed = Clock::now() - start;
  const double cpu = CpuSeconds() - cpuBefore;
  const size_t total = records.size() * o.units;
  std::printf("RESULT floor units=%u records=%zu seconds=%.4f cpu_us_per_record=%.2f resends=%ld\n",
              o.units, total, std::chrono::duration<double>(elapsed).count(),
              cpu * 1e6 / static_cast<double>(total), resends);
  ::close(fd);
  return 0;
} catch (const std::exception& e) {
  std::fprintf(stderr, "uvq-bench-batch: %s\n", e.what());
  return 2;
}

// SPDX-License-Identifier: Apache-2.0
#pragma once

// The protocol's exchange with nothing else: a record PDU out, its acknowledgement back. Shared
// by the two limit programs so both measure exactly the same wire traffic as the tool.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace uvq::bench {

constexpr size_t kRecordSize = 24;
constexpr size_t kRequestSize = 7 + kRecordSize;  // 31 bytes
constexpr uint8_t kProgramRecord = 4;
constexpr uint16_t kRecordWritten = 0x0010;

using Record = std::array<uint8_t, kRecordSize>;
using Request = std::array<uint8_t, kRequestSize>;

struct Arguments {
  std::string target = "127.0.6.1";
  uint16_t port = 16388;
  std::string image;
  uint16_t unit = 0x0100;
};

inline Arguments ParseArguments(int argc, char** argv) {
  Arguments a;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const char* value = argv[i + 1];
    if (key == "--target")
      a.target = value;
    else if (key == "--port")
      a.port = static_cast<uint16_t>(std::stoul(value));
    else if (key == "--image")
      a.image = value;
    else if (key == "--unit")
      a.unit = static_cast<uint16_t>(std::stoul(value, nullptr, 16));
    else
      throw std::runtime_error("unknown option " + key);
  }
  if (a.image.empty()) throw std::runtime_error("--image FILE is required");
  // The benchmarks talk to emulated units only.
  if (a.target.rfind("127.", 0) != 0) throw std::runtime_error("--target must be 127.x.y.z");
  return a;
}

// All whole records of the image, read before timing starts.
inline std::vector<Record> LoadRecords(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  std::vector<Record> records;
  Record r;
  while (in.read(reinterpret_cast<char*>(r.data()), kRecordSize)) records.push_back(r);
  if (records.empty()) throw std::runtime_error(path + " holds no record");
  return records;
}

inline void BuildRequest(Request& pdu, uint16_t unit, uint16_t seq, const Record& record) {
  pdu[0] = 0x5A;
  pdu[1] = 0xA5;
  pdu[2] = static_cast<uint8_t>(unit >> 8);
  pdu[3] = static_cast<uint8_t>(unit);
  pdu[4] = static_cast<uint8_t>(seq >> 8);
  pdu[5] = static_cast<uint8_t>(seq);
  pdu[6] = kProgramRecord;
  std::memcpy(pdu.data() + 7, record.data(), kRecordSize);
}

enum class Answer { Accepted, Refused, Other };

// Only what it takes to move on: the echoed number, and whether the unit wrote the record.
inline Answer Classify(const uint8_t* reply, long length, uint16_t seq) {
  if (length < 19) return Answer::Other;
  if (reply[4] != static_cast<uint8_t>(seq >> 8) || reply[5] != static_cast<uint8_t>(seq) ||
      reply[6] != kProgramRecord)
    return Answer::Other;
  const uint16_t status = static_cast<uint16_t>(reply[16] << 8 | reply[17]);
  return (status & kRecordWritten) ? Answer::Accepted : Answer::Refused;
}

// A UDP socket aimed at the target with a one-second receive time-out (a lost reply is resent).
inline int OpenSocket(const Arguments& a, sockaddr_in& target) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) throw std::runtime_error("socket: " + std::string(std::strerror(errno)));
  timeval timeout{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  target = {};
  target.sin_family = AF_INET;
  target.sin_port = htons(a.port);
  if (inet_pton(AF_INET, a.target.c_str(), &target.sin_addr) != 1)
    throw std::runtime_error("bad target " + a.target);
  return fd;
}

using Clock = std::chrono::steady_clock;

// One line per run, read by bench/measure.sh.
inline void PrintResult(const char* name, size_t records, Clock::duration elapsed, long resends) {
  const double seconds = std::chrono::duration<double>(elapsed).count();
  std::printf("RESULT %s records=%zu seconds=%.4f records_per_s=%.0f resends=%ld\n", name, records,
              seconds, static_cast<double>(records) / seconds, resends);
  std::fflush(stdout);
}

}  // namespace uvq::bench

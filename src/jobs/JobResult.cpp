// SPDX-License-Identifier: Apache-2.0
#include "jobs/JobResult.h"

#include "units/UvqTable.h"

namespace uvq::jobs {

std::string IdText(protocol::UvqId id) {
  return units::IdText(id);
}

std::string IpText(const protocol::Ipv4Bytes& ip) {
  return std::to_string(ip[0]) + "." + std::to_string(ip[1]) + "." + std::to_string(ip[2]) + "." +
         std::to_string(ip[3]);
}

}  // namespace uvq::jobs

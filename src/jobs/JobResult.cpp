// SPDX-License-Identifier: Apache-2.0
#include "jobs/JobResult.h"

#include "protocol/IpAddressText.h"
#include "units/UvqTable.h"

namespace uvq::jobs {

std::string IdText(protocol::UvqId id) {
  return units::IdText(id);
}

std::string IpText(const protocol::Ipv4Bytes& ip) {
  return protocol::Ipv4Text(ip);
}

}  // namespace uvq::jobs

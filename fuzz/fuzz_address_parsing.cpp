// SPDX-License-Identifier: Apache-2.0
// libFuzzer entry: see FuzzEntries.h.
#include "FuzzEntries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uvq::fuzz::FuzzAddressParsing(data, size);
  return 0;
}

// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "operations/LoaderService.h"

namespace uvq::fleet {

// An image file is checked before anything is sent, so a typo or a wrong path never leaves a
// unit captured and half programmed: it must be a readable regular file (never a FIFO, device
// or directory, and looking at it never blocks), not empty, and a whole number of 24-byte
// records unless a partial last record is allowed.
struct ImageProblem {
  std::string message;  // one line, naming the file
};

// nullopt when the image may be sent; its size is then in `size` when given.
std::optional<ImageProblem> CheckImage(const std::string& path, bool allowPartialRecord,
                                       int64_t* size = nullptr);

// The largest image: the loader service's kMaxImageBytes, one bound for every front end.
using uvq::kMaxImageBytes;

// Checks the image as above and reads it whole, once: every unit of the run is sent exactly
// these bytes, whatever happens to the file meanwhile. Fills `bytes` unless there is a problem.
std::optional<ImageProblem> LoadImage(const std::string& path, bool allowPartialRecord,
                                      std::vector<uint8_t>& bytes);

}  // namespace uvq::fleet

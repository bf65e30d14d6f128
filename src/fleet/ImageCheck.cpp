// SPDX-License-Identifier: Apache-2.0
#include "fleet/ImageCheck.h"

#include "platform/PosixFileSystem.h"
#include "protocol/PduLayout.h"

namespace uvq::fleet {

std::optional<ImageProblem> CheckImage(const std::string& path, bool allowPartialRecord,
                                       int64_t* size) {
  const std::string name = "image '" + path + "'";
  // Opened as a run opens it: without waiting on a FIFO, and only when it is a regular file.
  const platform::OpenedRecordFile opened = platform::OpenRecordFile(path);
  if (!opened.file)
    return ImageProblem{opened.notRegularFile ? name + " " + opened.problem
                                              : "cannot open " + name + ": " + opened.problem};
  int64_t bytes = 0;
  try {
    bytes = opened.file->size();
  } catch (const PlatformError& error) {
    return ImageProblem{"cannot read " + name + ": " + error.what()};
  }
  const auto record = static_cast<int64_t>(protocol::kRecordSize);
  if (bytes == 0) return ImageProblem{name + " is empty"};
  if (bytes % record != 0 && !allowPartialRecord)
    return ImageProblem{name + " does not look like an image: it is " + std::to_string(bytes) +
                        " bytes, not a whole number of 24-byte records (" +
                        std::to_string(bytes % record) +
                        " bytes left over); is it the binary rather than the .cry image made "
                        "from it? An image with a short last record on purpose is sent with "
                        "--allow-partial-record"};
  if (size) *size = bytes;
  return std::nullopt;
}

std::optional<ImageProblem> LoadImage(const std::string& path, bool allowPartialRecord,
                                      std::vector<uint8_t>& bytes) {
  int64_t size = 0;
  if (auto problem = CheckImage(path, allowPartialRecord, &size)) return problem;
  const std::string name = "image '" + path + "'";
  if (size > kMaxImageBytes)
    return ImageProblem{name + " is " + std::to_string(size) + " bytes, more than any image (" +
                        std::to_string(kMaxImageBytes >> 20) + " MiB)"};
  const platform::OpenedRecordFile opened = platform::OpenRecordFile(path);
  if (!opened.file) return ImageProblem{"cannot open " + name + ": " + opened.problem};
  bytes.assign(static_cast<size_t>(size), 0);
  size_t got = 0;
  try {
    while (got < bytes.size()) {
      const size_t n = opened.file->read(std::span<uint8_t>(bytes).subspan(got));
      if (n == 0) break;
      got += n;
    }
  } catch (const PlatformError& error) {
    return ImageProblem{"cannot read " + name + ": " + error.what()};
  }
  // A file that changed size while it was read is read again by nobody: refused as it is.
  if (got != bytes.size())
    return ImageProblem{name + " changed while it was read (" + std::to_string(got) + " of " +
                        std::to_string(bytes.size()) + " bytes)"};
  return std::nullopt;
}

}  // namespace uvq::fleet

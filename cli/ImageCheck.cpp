#include "ImageCheck.h"

#include "platform/PosixFileSystem.h"
#include "protocol/PduLayout.h"

namespace uvq::cli {

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

}  // namespace uvq::cli

#include "ImageMaker.h"

#include <algorithm>
#include <cstdio>

#include "MemoryMap.h"

namespace uvq::sim {

std::optional<std::vector<WireRecord>> MakeImage(std::span<const uint8_t> binary, uint32_t base,
                                                 const std::optional<std::string>& identity) {
  if (!binary.empty()) {
    const uint64_t length = binary.size();
    if (length > UINT32_MAX) return std::nullopt;
    const Region region = RegionOf(base, static_cast<uint32_t>(length));
    if (region != Region::kProgram && region != Region::kData) return std::nullopt;
  }
  std::vector<WireRecord> records;
  records.reserve(binary.size() / kRecordDataMax + 3);
  if (identity) {
    PlainRecord id;
    id.type = RecordType::kIdentity;
    id.length = static_cast<uint8_t>(std::min(identity->size(), kRecordDataMax));
    std::copy_n(identity->begin(), id.length, id.data.begin());
    records.push_back(EncodeRecord(id));
  }
  for (size_t offset = 0; offset < binary.size(); offset += kRecordDataMax) {
    PlainRecord data;
    data.address = base + static_cast<uint32_t>(offset);
    data.length = static_cast<uint8_t>(std::min(kRecordDataMax, binary.size() - offset));
    std::copy_n(binary.begin() + offset, data.length, data.data.begin());
    records.push_back(EncodeRecord(data));
  }
  PlainRecord end;
  end.type = RecordType::kEnd;
  records.push_back(EncodeRecord(end));
  return records;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& out) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  out.clear();
  uint8_t chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) out.insert(out.end(), chunk, chunk + n);
  const bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

bool WriteImageFile(const std::string& path, const std::vector<WireRecord>& records) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = true;
  for (const auto& r : records) ok = ok && std::fwrite(r.data(), 1, r.size(), f) == r.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace uvq::sim

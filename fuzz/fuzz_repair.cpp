// The header repair's plan on arbitrary files. Input: a 4-byte little-endian
// frame count, then the file. A header that the reader accepts, of a checked
// version, is planned with that count as a scan would; the plan may change
// only the frame-count bytes, and the header must then read back no more
// frames than the count.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "stream/headerblock.h"
#include "stream/streaminfo.h"
#include "support/memorystream.h"

namespace {

using namespace velkscan;

[[noreturn]] void Fail(const char* what, unsigned long long value) {
  std::fprintf(stderr, "repair: %s (%llu)\n", what, value);
  std::abort();
}

// What the reader reports after a repair stored `count`: the field keeps
// its low bits, a biased field stores one more than it reports, and a
// repair never stores 0 there.
uint32_t CountReadBack(const StreamVersion& field, uint32_t count) {
  const auto stored = static_cast<uint32_t>(count & CountFieldMax(field));
  return stored == 0 ? 0 : stored - field.countBias;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const uint32_t newCount = data[0] | data[1] << 8 | data[2] << 16 | static_cast<uint32_t>(data[3]) << 24;
  const std::vector<uint8_t> original(data + 4, data + size);

  MemoryStream stream(original);
  StreamInfo info{};
  if (ReadStreamHeader(info, stream) != HeaderResult::kOk) return 0;
  const StreamVersion* version = WritableHeader(info);
  uint8_t before[kHeaderBlockSize], after[kHeaderBlockSize];
  if (version == nullptr || !ReadHeaderBlock(stream, info.headerPos, before)) return 0;
  if (PlanCountRewrite(*version, before, newCount, after) != HeaderResult::kOk) return 0;

  for (int i = 0; i < kHeaderBlockSize; ++i) {
    const bool countByte = i >= version->countByte && i < version->countByte + version->countBytes;
    if (after[i] != before[i] && !countByte) Fail("a byte outside the count changed", i);
  }
  std::vector<uint8_t> repaired = original;
  std::memcpy(repaired.data() + info.headerPos, after, kHeaderBlockSize);
  MemoryStream check(repaired);
  StreamInfo back{};
  if (ReadStreamHeader(back, check) != HeaderResult::kOk)
    Fail("the repaired header is rejected", info.streamVersion);
  if (back.frameCount != CountReadBack(*version, newCount)) Fail("frame count read back", back.frameCount);
  return 0;
}

// The header repair on arbitrary files. Input: a 4-byte little-endian frame
// count, then the file. A header that the reader accepts is repaired with
// that count as a scan would (older layout below version 7, else the "VKQ"
// layout); the repair may change only the frame-count bytes, and a header of
// a checked version must then read back no more frames than the count.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "stream/streaminfo.h"
#include "support/memorystream.h"

namespace {

using velkscan::MemoryStream;
using velkscan::StreamInfo;

[[noreturn]] void Fail(const char* what, unsigned long long value) {
  std::fprintf(stderr, "repair: %s (%llu)\n", what, value);
  std::abort();
}

// What the reader reports after a repair stored `count`: versions 4 and 5
// store one more than they report, and a repair never stores 0 for them.
uint32_t CountReadBack(uint32_t streamVersion, uint32_t count) {
  if (streamVersion == 4) count &= 0xFFFFu;
  if (streamVersion >= 6) return count;
  return count == 0 ? 0 : count - 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const uint32_t newCount = data[0] | data[1] << 8 | data[2] << 16 | static_cast<uint32_t>(data[3]) << 24;
  const std::vector<uint8_t> original(data + 4, data + size);

  MemoryStream stream(original);
  StreamInfo info{};
  if (velkscan::ReadStreamHeader(info, stream) != velkscan::HeaderResult::kOk) return 0;
  const uint32_t streamVersion = info.streamVersion;
  const int64_t headerPos = info.headerPos;

  const bool written =
      streamVersion < 7
          ? velkscan::RewriteFrameCountSv46(info, stream, newCount) == velkscan::HeaderResult::kOk
          : velkscan::RewriteFrameCountSv7(info, stream, newCount) == velkscan::HeaderResult::kOk;
  const std::vector<uint8_t>& repaired = stream.bytes();
  if (repaired.size() != original.size()) Fail("the file length changed", repaired.size());

  // The count bytes: word 1 of the header block, only its upper half for
  // version 4 of the older layout.
  const int64_t first = headerPos + (streamVersion < 5 ? 6 : 4);
  const int64_t end = headerPos + 8;
  for (size_t i = 0; i < original.size(); ++i) {
    const bool countByte = static_cast<int64_t>(i) >= first && static_cast<int64_t>(i) < end;
    if (repaired[i] != original[i] && (!written || !countByte)) Fail("a byte changed", i);
  }

  if (!written || !velkscan::IsCheckedStreamVersion(streamVersion)) return 0;
  MemoryStream check(repaired);
  StreamInfo after{};
  if (velkscan::ReadStreamHeader(after, check) != velkscan::HeaderResult::kOk)
    Fail("the repaired header is rejected", streamVersion);
  if (after.frameCount != CountReadBack(streamVersion, newCount))
    Fail("frame count read back", after.frameCount);
  return 0;
}

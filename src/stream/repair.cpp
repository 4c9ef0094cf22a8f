// The in-place rewrite of a header's frame count, done when a file is found
// broken so that its header claims only the frames that passed.
#include <cstdint>

#include "stream/headerblock.h"
#include "stream/streaminfo.h"

namespace velkscan {

namespace {

int32_t WriteHeaderBlock(ByteStream& stream, int32_t headerPos, const uint8_t (&block)[kHeaderBlockSize]) {
  if (!SeekToHeader(stream, headerPos)) return -1;
  return stream.Write(block, kHeaderBlockSize) == static_cast<uint32_t>(kHeaderBlockSize) ? 0 : -1;
}

}  // namespace

int32_t RewriteFrameCountSv7(StreamInfo& info, ByteStream& stream, uint32_t newCount) {
  // The reader never parsed these version bytes; their block stays untouched.
  if (info.streamVersion > 0x71) return 0;
  uint8_t block[kHeaderBlockSize];
  if (!ReadHeaderBlock(stream, info.headerPos, block)) return -1;
  SetBlockWord(block, 1, newCount);
  detail::FillFromBlockSv7(info, block);
  return WriteHeaderBlock(stream, info.headerPos, block);
}

int32_t RewriteFrameCountSv46(StreamInfo& info, ByteStream& stream, uint32_t newCount) {
  uint8_t block[kHeaderBlockSize];
  if (!ReadHeaderBlock(stream, info.headerPos, block)) return -1;
  detail::FillWord0Sv46(info, BlockWord(block, 0));

  // Versions below 6 read back the stored count minus one, so a stored 0
  // would read back as 0xFFFFFFFF frames: store 1 (read back as 0) instead.
  // In version 4's 16-bit field that also covers counts whose low 16 bits are 0.
  const uint32_t word1 = BlockWord(block, 1);
  uint32_t stored = info.streamVersion >= 5 ? newCount : newCount & 0xFFFF;
  if (info.streamVersion < 6 && stored == 0) stored = 1;
  if (info.streamVersion >= 5) {
    SetBlockWord(block, 1, stored);
  } else {
    // Version 4 keeps its count in the upper half; the lower half stays.
    SetBlockWord(block, 1, (stored << 16) | (word1 & 0xFFFF));
  }

  const int32_t check = detail::CheckWord0Sv46(info);
  if (check != 0) return check;
  if (info.streamVersion < 4 || info.streamVersion > 7) return 5;
  return WriteHeaderBlock(stream, info.headerPos, block);
}

}  // namespace velkscan

// The in-place rewrite of a header's frame count, done when a file is found
// broken so that its header claims only the frames that passed.
#include <cstdint>

#include "stream/headerblock.h"
#include "stream/streaminfo.h"

namespace velkscan {

namespace {

HeaderResult WriteHeaderBlock(ByteStream& stream, int32_t headerPos,
                              const uint8_t (&block)[kHeaderBlockSize]) {
  if (!SeekToHeader(stream, headerPos)) return HeaderResult::kReadFailed;
  return stream.Write(block, kHeaderBlockSize) == static_cast<uint32_t>(kHeaderBlockSize)
             ? HeaderResult::kOk
             : HeaderResult::kReadFailed;
}

}  // namespace

HeaderResult RewriteFrameCountSv7(StreamInfo& info, ByteStream& stream, uint32_t newCount) {
  // The reader never parsed these version bytes; their block stays untouched.
  if (info.streamVersion > 0x71) return HeaderResult::kOk;
  uint8_t block[kHeaderBlockSize];
  if (!ReadHeaderBlock(stream, info.headerPos, block)) return HeaderResult::kReadFailed;
  SetCountField(*FindStreamVersion(7), block, newCount);
  detail::FillFromBlockSv7(info, block);
  return WriteHeaderBlock(stream, info.headerPos, block);
}

HeaderResult RewriteFrameCountSv46(StreamInfo& info, ByteStream& stream, uint32_t newCount) {
  uint8_t block[kHeaderBlockSize];
  if (!ReadHeaderBlock(stream, info.headerPos, block)) return HeaderResult::kReadFailed;
  detail::FillWord0Sv46(info, BlockWord(block, 0));

  // The count is stored as given (as the reader takes one off where the
  // layout biases it, such a file then claims one frame fewer), but never
  // as 0 there: that would read back as 0xFFFFFFFF frames, so 1 (read back
  // as 0) is stored instead. A 16-bit field keeps the count's low bits.
  const StreamVersion& countField = OlderLayoutCountField(info.streamVersion);
  uint32_t stored = countField.countBytes == 4 ? newCount : newCount & 0xFFFF;
  if (countField.countBias != 0 && stored == 0) stored = 1;
  SetCountField(countField, block, stored);

  const HeaderResult check = detail::CheckWord0Sv46(info);
  if (check != HeaderResult::kOk) return check;
  return WriteHeaderBlock(stream, info.headerPos, block);
}

}  // namespace velkscan

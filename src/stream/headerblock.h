// The 32-byte header block as the header reader, the frame-count repair and
// the scan's repair journal read it, so all decode the same bytes the same way.
#pragma once

#include <cstdint>

#include "stream/bytestream.h"
#include "stream/streaminfo.h"

namespace velkscan {

// Any index past the profile table gives "n.a.".
inline constexpr uint32_t kOutOfRangeProfile = 16;

inline uint32_t BlockWord(const uint8_t (&block)[kHeaderBlockSize], int word) {
  const uint8_t* b = block + 4 * word;
  return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
         static_cast<uint32_t>(b[3]) << 24;
}

inline void SetBlockWord(uint8_t (&block)[kHeaderBlockSize], int word, uint32_t value) {
  uint8_t* b = block + 4 * word;
  b[0] = static_cast<uint8_t>(value);
  b[1] = static_cast<uint8_t>(value >> 8);
  b[2] = static_cast<uint8_t>(value >> 16);
  b[3] = static_cast<uint8_t>(value >> 24);
}

// Positions the stream at the header; false unless it got there. A negative
// position must not pass as reached: a failed Seek returns 0xFFFFFFFF, which
// is -1 seen unsigned.
inline bool SeekToHeader(ByteStream& stream, int32_t headerPos) {
  return headerPos >= 0 && stream.Seek(headerPos, kFromStart) == static_cast<uint32_t>(headerPos);
}

// Positions at the header and reads the whole block; false on any shortfall.
inline bool ReadHeaderBlock(ByteStream& stream, int32_t headerPos, uint8_t (&block)[kHeaderBlockSize]) {
  return SeekToHeader(stream, headerPos) &&
         stream.Read(block, kHeaderBlockSize) == static_cast<uint32_t>(kHeaderBlockSize);
}

namespace detail {

// The version-7 fields of a block, with the peak defaults; fieldsRead.
void FillFromBlockSv7(StreamInfo& info, const uint8_t (&block)[kHeaderBlockSize]);

// The older layout's word-0 fields, profile index 0 and its name.
void FillWord0Sv46(StreamInfo& info, uint32_t word0);

// The older layout's checks on word 0, in their order, the version last.
inline HeaderResult CheckWord0Sv46(const StreamInfo& info) {
  if (IsVkqOnlyVersion(info.streamVersion)) return HeaderResult::kOlderVersion7;
  if (info.nineBitField != 0) return HeaderResult::kNineBitField;
  if (info.secondStereo != 0) return HeaderResult::kSecondStereo;
  if (info.blockField != 1) return HeaderResult::kBlockField;
  const StreamVersion* entry = FindStreamVersion(info.streamVersion);
  if (entry == nullptr || entry->layout != HeaderLayout::kOlder) return HeaderResult::kVersionUnknown;
  return HeaderResult::kOk;
}

}  // namespace detail

}  // namespace velkscan

// The stream versions in one table: which exist, where each one's first
// frame starts, and where its header keeps the frame count and how. The
// header reader, the repair, the frame decoder and the journal's undo all
// read it, so a version's layout is written down once; which headers may be
// written is WritableHeader (stream/streaminfo.h).
#pragma once

#include <cstdint>

namespace velkscan {

enum class HeaderLayout {
  kOlder,  // versions 4 to 6: word 0 packs the version with other fields
  kVkq,    // "VKQ" and a version byte
};

struct StreamVersion {
  uint32_t version;
  HeaderLayout layout;
  // The first frame: the byte offset, from the header position, of the word
  // that holds its first bit, and the bits of that word still in the header.
  int32_t firstFrameByte;
  uint32_t firstFrameBit;
  // The frame count: countBytes little-endian bytes from byte countByte of
  // the header block. The header stores the frame count plus countBias.
  int32_t countByte;
  int32_t countBytes;
  uint32_t countBias;
};

inline constexpr StreamVersion kStreamVersions[] = {
    {4, HeaderLayout::kOlder, 4, 16, 6, 2, 1},  // the upper half of word 1
    {5, HeaderLayout::kOlder, 8, 0, 4, 4, 1},  {6, HeaderLayout::kOlder, 8, 0, 4, 4, 0},
    {7, HeaderLayout::kVkq, 24, 8, 4, 4, 0},   // version byte 0x07
    {23, HeaderLayout::kVkq, 24, 8, 4, 4, 0},  // version byte 0x17
};

// The entry of a version the frame decoder checks; null for any other.
constexpr const StreamVersion* FindStreamVersion(uint32_t version) {
  for (const StreamVersion& entry : kStreamVersions) {
    if (entry.version == version) return &entry;
  }
  return nullptr;
}

// "VKQ" version bytes above this one are accepted without their block being
// read (their fields stay unknown, and they are never written).
inline constexpr uint32_t kLastReadVkqVersion = 0x71;
constexpr bool IsReadVkqVersion(uint32_t versionByte) {
  return versionByte <= kLastReadVkqVersion;
}

// The low four bits of a "VKQ" version byte: the layout this reader knows
// is 7 (above it, none). Version 7 is that layout's own: an older-layout
// header that claims it is refused with a cause of its own.
inline constexpr uint32_t kVkqLayout = 7;
constexpr uint32_t VkqLayoutOf(uint32_t versionByte) {
  return versionByte & 0xF;
}
constexpr bool IsVkqOnlyVersion(uint32_t version) {
  return version == kVkqLayout;
}

// Where an older-layout header keeps its count whatever its version field
// says, so that the record shows what even an unchecked version stores:
// below 5 as version 4, 5 as version 5, above as version 6.
constexpr const StreamVersion& OlderLayoutCountField(uint32_t version) {
  return version < 5 ? kStreamVersions[0] : version == 5 ? kStreamVersions[1] : kStreamVersions[2];
}

// The count field's width, the largest value it holds, and the value a
// header stores for a number of frames (above CountFieldMax it does not fit).
constexpr uint32_t CountFieldBits(const StreamVersion& entry) {
  return 8 * static_cast<uint32_t>(entry.countBytes);
}
constexpr uint64_t CountFieldMax(const StreamVersion& entry) {
  return (uint64_t{1} << CountFieldBits(entry)) - 1;
}
constexpr uint64_t StoredCount(const StreamVersion& entry, uint64_t frames) {
  return frames + entry.countBias;
}
// Where the field starts when the header is read as 32-bit little-endian
// words, each from its most significant bit on (as the frames are walked):
// the high bytes of a word come first.
constexpr uint32_t CountFieldFirstBit(const StreamVersion& entry) {
  const auto word = static_cast<uint32_t>(entry.countByte / 4);
  const auto byteInWord = static_cast<uint32_t>(entry.countByte % 4);
  return 32 * word + 32 - 8 * byteInWord - CountFieldBits(entry);
}

// The count field's value in a header block, and the field set to a value
// (its bytes alone change).
inline uint32_t CountField(const StreamVersion& entry, const uint8_t* block) {
  uint32_t value = 0;
  for (int i = entry.countBytes; i-- > 0;) value = value << 8 | block[entry.countByte + i];
  return value;
}
inline void SetCountField(const StreamVersion& entry, uint8_t* block, uint32_t value) {
  for (int i = 0; i < entry.countBytes; ++i)
    block[entry.countByte + i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace velkscan

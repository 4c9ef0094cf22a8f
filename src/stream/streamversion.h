// The stream versions in one table: which exist, where each one's first
// frame starts, and where its header keeps the frame count and how. The
// header reader, the repair, the frame decoder and the journal's undo all
// read it, so a version's layout is written down once.
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

constexpr bool IsCheckedStreamVersion(uint32_t version) {
  return FindStreamVersion(version) != nullptr;
}

// Where an older-layout header keeps its count whatever its version field
// says, so that the record shows what even an unchecked version stores:
// below 5 as version 4, 5 as version 5, above as version 6.
constexpr const StreamVersion& OlderLayoutCountField(uint32_t version) {
  return version < 5 ? kStreamVersions[0] : version == 5 ? kStreamVersions[1] : kStreamVersions[2];
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

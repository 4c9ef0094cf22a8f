// Byte builders for the stream tests, by hand apart from the generator: both header layouts
// and the ID3v2 tag header.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "support/memorystream.h"
#include "testfiles.h"

namespace velkscan::test {

inline void PutWord(Bytes& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Bytes that stand for frame data: a fixed, non-repeating pattern.
inline Bytes FrameData(size_t count, uint32_t seed = 1) {
  Bytes out(count);
  uint32_t x = seed * 2654435761u + 12345;
  for (auto& b : out) x ^= x << 13, x ^= x >> 17, x ^= x << 5, b = static_cast<uint8_t>(x);
  return out;
}

// The version-7 header block; what follows the fields is frame data.
struct Sv7Header {
  uint8_t versionByte = 0x07;
  uint32_t frameCount = 100, maxBand = 27, sampleRateIndex = 0;

  Bytes Build() const {
    Bytes out = {'V', 'K', 'Q', versionByte};
    PutWord(out, frameCount);
    PutWord(out, (maxBand & 0x3F) << 24 | 10u << 20 | (sampleRateIndex & 3) << 16 | 0x7FFF);
    for (uint32_t word : {0x00001234u, 0x00002345u, 0x000ACE00u, 110u << 24 | 0xABCDEF, 0x13579BDFu})
      PutWord(out, word);
    return out;
  }
};

// The older layout: word 0 packs the fields, word 1 holds the stored count
// (version 4: its upper half), words 2 to 7 are frame data.
struct Sv46Header {
  uint32_t nineBitField = 0, secondStereo = 0, midSide = 1, streamVersion = 6, maxBand = 21, blockField = 1;
  uint32_t word1 = 100;

  Bytes Build() const {
    Bytes out;
    PutWord(out, (nineBitField & 0x1FF) << 23 | (secondStereo & 1) << 22 | (midSide & 1) << 21 |
                     (streamVersion & 0x3FF) << 11 | (maxBand & 0x1F) << 6 | (blockField & 0x3F));
    PutWord(out, word1);
    return Concat({out, FrameData(24, 7)});
  }
};

// An ID3v2 tag header with the given flags and size bytes, then bodyLength filler bytes.
inline Bytes Id3Tag(uint8_t flags, const uint8_t (&size)[4], size_t bodyLength) {
  Bytes out = {'I', 'D', '3', 4, 0, flags, size[0], size[1], size[2], size[3]};
  out.insert(out.end(), bodyLength, 0x5A);
  return out;
}

}  // namespace velkscan::test

// The stream is read as 32-bit little-endian words whatever the host's byte
// order: the one place that turns them into host words.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace velkscan {

constexpr uint32_t FromLittleEndian(uint32_t w) {
  if constexpr (std::endian::native == std::endian::big)
    return (w >> 24) | ((w >> 8) & 0xFF00u) | ((w << 8) & 0xFF0000u) | (w << 24);
  return w;
}

inline void WordsFromLittleEndian(uint32_t* words, std::size_t count) {
  if constexpr (std::endian::native == std::endian::big) {
    for (std::size_t i = 0; i < count; ++i) words[i] = FromLittleEndian(words[i]);
  }
}

}  // namespace velkscan

// Writes bit fields in the Velk bitstream's order: 32-bit little-endian
// words, each filled from its most significant bit down. Tests use it to lay
// out frames bit by bit, independently of the generator.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace velkscan::test {

class BitWriter {
 public:
  // Appends value as an n-bit field, most significant bit first (a field
  // wider than 32 bits has zeros above the value).
  BitWriter& Put(uint32_t value, uint32_t n) {
    for (uint32_t i = n; i-- > 0;) PutBit(i < 32 ? (value >> i) & 1 : 0);
    return *this;
  }
  // Appends a code word written as '0'/'1' characters (spaces ignored).
  BitWriter& Code(std::string_view bits) {
    for (char c : bits)
      if (c == '0' || c == '1') PutBit(c == '1');
    return *this;
  }
  // Appends another writer's bits.
  BitWriter& Append(const BitWriter& other) {
    for (uint64_t i = 0; i < other.bits_; ++i) PutBit((other.words_[i / 32] >> (31 - i % 32)) & 1);
    return *this;
  }
  uint64_t bits() const { return bits_; }

  // The words as file bytes, the last word padded with zero bits.
  std::vector<uint8_t> Bytes() const {
    std::vector<uint8_t> out;
    for (uint32_t w : words_) {
      for (int b = 0; b < 4; ++b) out.push_back(static_cast<uint8_t>(w >> (8 * b)));
    }
    return out;
  }

 private:
  void PutBit(uint32_t bit) {
    if (bits_ % 32 == 0) words_.push_back(0);
    words_.back() |= bit << (31 - bits_ % 32);
    ++bits_;
  }
  std::vector<uint32_t> words_;
  uint64_t bits_ = 0;
};

}  // namespace velkscan::test

// Writes bit fields in the Velk bitstream's order: 32-bit words filled from
// the most significant bit down, stored little-endian. The generator lays
// out whole streams with it, the tests single frames.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace velkscan::gen {

class BitWriter {
 public:
  // Appends value as an n-bit field, most significant bit first (a field
  // wider than 32 bits has zeros above the value).
  BitWriter& Put(uint32_t value, uint32_t n) {
    for (; n > 32; n -= 32) Put(0, 32);
    if (n == 0) return *this;
    if (n < 32) value &= (1u << n) - 1;
    const uint32_t used = static_cast<uint32_t>(pos_ & 31);
    if (used == 0) words_.push_back(0);
    const uint32_t free = 32 - used;
    if (n <= free) {
      words_.back() |= (n == 32) ? value : value << (free - n);
    } else {
      const uint32_t rest = n - free;
      words_.back() |= value >> rest;
      words_.push_back(value << (32 - rest));
    }
    pos_ += n;
    return *this;
  }
  // Appends a code word written as '0'/'1' characters (others are skipped).
  BitWriter& Code(std::string_view bits) {
    for (char c : bits) {
      if (c == '0' || c == '1') Put(c == '1' ? 1 : 0, 1);
    }
    return *this;
  }
  // Appends another writer's bits.
  BitWriter& Append(const BitWriter& other) {
    for (uint64_t i = 0; i < other.pos_; ++i) Put((other.words_[i / 32] >> (31 - i % 32)) & 1, 1);
    return *this;
  }
  // ORs a field into bits already written as zeros.
  void Patch(uint64_t at, uint32_t value, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) {
      const uint64_t bit = at + i;
      if ((value >> (n - 1 - i)) & 1) words_[bit / 32] |= 1u << (31 - bit % 32);
    }
  }

  uint64_t Position() const { return pos_; }
  size_t WordCount() const { return words_.size(); }
  void PadToWords(size_t count) {
    if (words_.size() < count) words_.resize(count, 0);
    pos_ = std::max<uint64_t>(pos_, uint64_t{32} * words_.size());
  }

  // The words as file bytes, the last one padded with zero bits.
  void AppendBytes(std::vector<uint8_t>& out) const {
    out.reserve(out.size() + words_.size() * 4);
    for (uint32_t w : words_) {
      for (int b = 0; b < 4; ++b) out.push_back(static_cast<uint8_t>(w >> (8 * b)));
    }
  }
  std::vector<uint8_t> Bytes() const {
    std::vector<uint8_t> out;
    AppendBytes(out);
    return out;
  }

 private:
  std::vector<uint32_t> words_;
  uint64_t pos_ = 0;
};

}  // namespace velkscan::gen

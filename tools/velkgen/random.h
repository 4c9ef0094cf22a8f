// velkgen's randomness: xoshiro256** seeded through SplitMix64. Fixed
// algorithms and our own bounded helpers, so a seed means the same bytes
// everywhere (no standard distributions).
#pragma once

#include <cstdint>

namespace velkscan::gen {

inline uint64_t SplitMix64(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

class Rng {
 public:
  explicit Rng(uint64_t seed) {
    for (auto& s : s_) s = SplitMix64(seed);
  }

  uint64_t Next() {
    const uint64_t result = Rotl(s_[1] * 5, 7) * 9;
    const uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = Rotl(s_[3], 45);
    return result;
  }

  // Uniform in 0..n-1 (n > 0).
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>(((Next() >> 32) * n) >> 32); }
  // Uniform in lo..hi.
  int Range(int lo, int hi) { return lo + static_cast<int>(Below(static_cast<uint32_t>(hi - lo + 1))); }
  bool OneIn(uint32_t n) { return Below(n) == 0; }
  // n uniform random bits, 0..32.
  uint32_t Bits(uint32_t n) { return n == 0 ? 0 : static_cast<uint32_t>(Next() >> (64 - n)); }

 private:
  static uint64_t Rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  uint64_t s_[4];
};

}  // namespace velkscan::gen

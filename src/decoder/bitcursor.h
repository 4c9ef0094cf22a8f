// The ring of stream words the decoder reads from, and the bit cursor of the
// checking path over it.
//
// The ring holds 64 KiB of the stream as 32-bit words, each read from its
// most significant bit down; the decoder refills the half its reader has
// left after each frame. The reference path reads the ring through the
// decoder's own bit reader (FrameDecoder::ReadBits and the linear table
// scans); the checking path through a BitCursor, a copy of the read position
// that a whole frame's parse keeps in registers. Both must consume exactly
// the same bits: HuffmanLookup.CursorAgreesWithTheBitReaderAtEveryBitPosition
// (tests/decoder/huffman_test.cpp) holds them to it at every bit position,
// the frame tests and fuzz/fuzz_framewalk.cpp over whole frames.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "decoder/huffman.h"

// bench/count_words builds the decoder with VELKSCAN_COUNT_LOOKUPS to count
// the checking path's table look-ups, each a load that the next one waits on
// (the bound in docs/performance.md); every other build leaves no trace.
#ifdef VELKSCAN_COUNT_LOOKUPS
namespace velkscan {
inline uint64_t g_tableLookups = 0;
}
#define VELKSCAN_COUNT_LOOKUP() (++::velkscan::g_tableLookups)
#else
#define VELKSCAN_COUNT_LOOKUP() ((void)0)
#endif

namespace velkscan {

inline constexpr uint32_t kRingWords = 16384;  // 64 KiB
inline constexpr uint32_t kRingMask = kRingWords - 1;
inline constexpr uint32_t kRingHalfWords = kRingWords / 2;
inline constexpr int32_t kRingBytes = kRingWords * 4;
inline constexpr int32_t kRingHalfBytes = kRingHalfWords * 4;

// The next stream bits left-aligned in 64 bits, how many of them are valid,
// and the ring index of the next word to load. At least 16 bits are valid
// between operations, so a look-up can index with the buffer before the
// refill has merged the next word below them, and the refill never waits
// for the look-up. Every operation is forced inline: the checking path's
// speed rests on the cursor living in registers across a frame.
struct BitCursor {
  uint64_t buf;    // zeros below the valid bits
  uint32_t avail;  // valid bits in buf: 17..64 between operations
  uint32_t next;   // ring index of the next word to load, not yet masked
  const uint32_t* ring;

  // Starts at bit `bit` of ring word `word` (not yet masked).
  [[gnu::always_inline]] inline void Set(const uint32_t* words, uint32_t word, uint32_t bit) {
    ring = words;
    buf = ((uint64_t{ring[word & kRingMask]} << 32) | ring[(word + 1) & kRingMask]) << bit;
    avail = 64 - bit;
    next = word + 2;
  }

  [[gnu::always_inline]] inline uint32_t Top(uint32_t n) const {  // n = 1..32
    return static_cast<uint32_t>(buf >> (64 - n));
  }
  // Top(n) as the index of a table look-up.
  [[gnu::always_inline]] inline uint32_t Window(uint32_t n) const {
    VELKSCAN_COUNT_LOOKUP();
    return Top(n);
  }

  // Tops the valid bits up to at least 32 without a branch: whether a word
  // is due is as good as random. The next word is merged below the valid
  // bits every time, since those are the stream's own bits wherever it
  // lands (and shifted out wholly when 64 bits are valid); it counts as
  // loaded only once it fits whole.
  [[gnu::always_inline]] inline void Refill() {
    buf |= (uint64_t{ring[next & kRingMask]} << 31) >> (avail - 1);
    const uint32_t due = (avail - 33) >> 31;  // avail <= 32
    next += due;
    avail += due << 5;
  }
  // The sample lanes' refill: the next two ring words at once, merged below
  // the valid bits, so every bit of buf is the stream's own afterwards. It
  // counts the whole words that fit, up to kMost valid bits: with 64, at
  // least 33 are counted, so three look-ups of kRunBits can follow; with 63,
  // at least 32 (the word below them is in buf already, and a refill merges
  // it again unchanged). avail's low byte must be 0..63 (it may carry a
  // count above); the ring's word after its end must repeat its first.
  template <uint32_t kMost = 64>
  [[gnu::always_inline]] inline void RefillPair() {
    uint64_t pair;
    std::memcpy(&pair, ring + (next & kRingMask), sizeof pair);
    if constexpr (std::endian::native == std::endian::little) pair = std::rotl(pair, 32);
    buf |= pair >> (avail & 63);
    const uint32_t room = (kMost - avail) & 0x60;  // whole words that fit: 0, 1 or 2
    next += room >> 5;
    avail += room;
  }
  // Counts a full buffer as 32 valid bits, so that RefillPair may follow.
  [[gnu::always_inline]] inline void UncountFullBuffer() {
    const uint32_t full = (avail >> 6) & 1;  // low byte 64
    next -= full;
    avail -= full << 5;
  }
  // n <= 16: after a refill at least 32 bits are valid.
  [[gnu::always_inline]] inline void Consume(uint32_t n) {
    buf <<= n;
    avail -= n;
  }
  [[gnu::always_inline]] inline uint32_t ReadBits(uint32_t n) {  // n = 1..16
    const uint32_t value = Top(n);
    Refill();
    Consume(n);
    return value;
  }
  [[gnu::always_inline]] inline int32_t Decode(const FastTable& t) {
    const FastCode c = t.entries[Window(t.bits)];
    Refill();
    Consume(c.length);
    return c.value;
  }
  // Any number of bits, as one jump (fixed-width fields).
  [[gnu::always_inline]] inline void Skip(uint32_t n) {
    const uint32_t pos = Position() + n;
    Set(ring, pos >> 5, pos & 31);
  }
  // Bit index of the next unread bit, counted from ring word 0.
  uint32_t Position() const { return next * 32 - avail; }

  // One look-up of a run of `count` (>= 1) words of one code (a run table
  // of the one-code layout): passes several at a time, and the look-up
  // that holds the run's last word gives the bits up to it. Returns the
  // words left. Without kRefill it may only follow one with it: a look-up
  // takes at most kRunBits, so the refill's 33 bits serve two.
  template <bool kRefill = true>
  [[gnu::always_inline]] inline uint32_t RunStep(const RunTable& run, const FastTable& single,
                                                 uint32_t count) {
    const uint32_t i = Window(kRunBits);
    const uint32_t step = run.step[i];
    if constexpr (kRefill) Refill();
    const uint32_t words = OneCodeStepWords(step);
    if (words >= count) {
      Consume((run.last[i] >> (4 * count - 4)) & 15);
      return 0;
    }
    if (words == 0) [[unlikely]] {  // a word longer than kRunBits
      Consume(single.entries[Window(single.bits)].length);
      return count - 1;
    }
    Consume(step & 15);
    return count - words;
  }
  [[gnu::always_inline]] inline void SkipRun(const RunTable& run, const FastTable& single, uint32_t count) {
    while (count != 0) count = RunStep(run, single, count);
  }
};

}  // namespace velkscan

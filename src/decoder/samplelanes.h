// The checking path's sample lanes: section 4 of a frame, the part every
// scan spends most of its time in.
//
// Sections 1 to 3 (frontsyntax.h) turn a frame's resolutions into a list
// of sample tasks; a lane works through that list, measuring the coded
// samples several words per run-table look-up and jumping over fixed-width
// fields. The values are never kept, so only the bits the lane consumes
// must equal what the reference path (referencesyntax.cpp) reads word by
// word. What holds them to it: FrameWalk.EachElementCostsWhatTheSyntaxSays
// (tests/decoder/framedecoder_test.cpp, each element on both paths),
// RoundTrip.* (tests/generator/roundtrip_test.cpp, every version and profile
// on both paths), HuffmanLookup.* (tests/decoder/huffman_test.cpp, every
// run-table window against the linear scan) and fuzz/fuzz_framewalk.cpp,
// which walks arbitrary bytes on both side by side.
#pragma once

#include <cstdint>

#include "decoder/bitcursor.h"

namespace velkscan {

// The samples of one channel (version 7) or one subband (versions 4 to 6):
// `count` words of a run table, then `skip` bits of fixed-width fields
// (version 7: one or the other). A version 7 run reads a set bit first,
// which picks one of two tables. The list ends with a task of no words and
// no bits.
struct SampleTask {
  // By set bit (version 7), run[0] otherwise; no steps: no words. Held by
  // value: a run's start then waits on one load less.
  RunTable run[2];
  const FastTable* single[2];
  uint32_t half;   // the half of a two-code table where the run begins
  uint32_t count;  // words of the run
  uint32_t skip;   // bits of fixed-width fields after it
  bool end;
};

// A frame's tasks as pointers to the tasks of each resolution, made once
// (copying the tasks themselves cost more); kEndTask ends the list.
inline constexpr SampleTask kEndTask{{}, {}, 0, 0, 0, true};
using TaskList = const SampleTask*;

// What a run-table step byte takes from a lane's count (SampleLane): its
// words above the low byte, its bits in it. A first word longer than
// kRunBits costs more words than any run holds, so that step too leaves the
// count below zero.
template <bool kTwoCodes>
inline constexpr auto kStepCost = [] {
  struct {
    uint32_t of[256];
  } t{};
  for (uint32_t s = 0; s < 256; ++s) {
    const uint32_t words = kTwoCodes ? s >> 5 : OneCodeStepWords(s);
    t.of[s] = words == 0 ? 0x7f00u : words << 8 | (s & 15);
  }
  return t;
}();

// Works through sample tasks: the current run's table and its half. While
// a run goes on, the cursor's avail carries above its low byte the run's
// words after the next one, so one subtraction of the step's cost counts
// both the bits and the words, and its sign says whether the step is one
// of the two rare cases (the run ends, or no whole word). The cursor's
// refills keep to the low byte (BitCursor::RefillPair). kTwoCodes:
// versions 4 to 6, whose runs may alternate two codes; otherwise version
// 7, whose runs begin with a set bit.
template <bool kTwoCodes>
struct SampleLane {
  const TaskList* task;
  RunTable run{};
  const FastTable* single = nullptr;
  // Two codes: the steps of the half where the next word begins (a pointer,
  // not an index, so the look-up waits on no extra operation).
  const uint8_t* at = nullptr;

  static constexpr uint32_t kCountShift = 8;
  static constexpr uint32_t kAvailMask = (1u << kCountShift) - 1;
  // Starts the list: false when it holds no coded words. The ring's word
  // after its end must repeat its first (FrameDecoder::RepeatRingStart).
  [[gnu::always_inline]] inline bool Begin(BitCursor& c) {
    if (!Start(c)) return false;
    c.UncountFullBuffer();
    Reload(c);
    return true;
  }
  // Works through the rest of the list on its own.
  [[gnu::always_inline]] inline void Finish(BitCursor& c) {
    while (Step<kRefill>(c) && Step<kPlain>(c) && Step<kLast>(c)) {
    }
  }
  // Starts the task at `task`, or the first one after it with coded words;
  // false when the list is done. The cursor's avail must carry no count; it
  // carries the new run's.
  [[gnu::always_inline]] inline bool Start(BitCursor& c) {
    for (;; ++task) {
      const SampleTask& t = **task;
      if (t.run[0].step == nullptr) {  // fixed-width fields only, or the list's end
        if (t.end) return false;
        SkipFields(c, t.skip);
        continue;
      }
      // No refill: each caller leaves at least one valid bit and refills
      // before the next look-up.
      uint32_t set = 0;
      if constexpr (!kTwoCodes) {  // version 7: a set bit picks the table
        set = c.Top(1);
        c.Consume(1);
      }
      run = t.run[set];
      single = t.single[set];
      if constexpr (kTwoCodes) at = run.step + t.half;
      c.avail |= (t.count - 1) << kCountShift;
      return true;
    }
  }
  // The steps go in threes: a refill of two words (RefillPair) leaves at
  // least 33 bits counted, and a look-up takes at most kRunBits. kRefill
  // steps refill after their look-up; kPlain and kLast steps do not. The
  // rare paths end with a refill of their own and at most 63 bits counted,
  // so any kind of step may follow them. False when the list is done (only
  // a rare path can say so, which keeps the test off the common one).
  enum Kind { kRefill, kPlain, kLast };
  template <Kind kKind>
  [[gnu::always_inline]] inline bool Step(BitCursor& c) {
    const uint32_t top = c.Window(kRunBits);
    const uint8_t* const steps = kTwoCodes ? at : run.step;
    const uint32_t s = steps[top];
    if constexpr (kKind == kRefill) c.RefillPair();
    const uint32_t cost = kStepCost<kTwoCodes>.of[s];
    c.avail -= cost;
    if (static_cast<int32_t>(c.avail) >= 0) [[likely]] {
      c.buf <<= s & (kTwoCodes ? 15 : 63);  // one code: the byte as it is
      if constexpr (kTwoCodes) at = run.step + ((s & 16) << (kRunBits - 4));
      return true;
    }
    c.avail += cost;
    // A third step may find as few as 11 bits counted: the run's last words
    // and the next run's set bit, or one long word, need up to 15.
    if constexpr (kKind == kLast) c.RefillPair();
    uint32_t left = c.avail >> kCountShift;
    c.avail &= kAvailMask;
    const uint32_t i = static_cast<uint32_t>(steps - run.step) + top;
    const bool whole = kTwoCodes ? s >> 5 != 0 : s != 0;  // the first word within kRunBits
    if (whole) {
      c.Consume((run.last[i] >> (4 * left)) & 15);
    } else {  // a word longer than kRunBits
      c.Consume(single->entries[c.Window(single->bits)].length);
    }
    bool more = true;
    if (whole || left-- == 0) {
      if constexpr (kTwoCodes) {  // version 7 runs have no fields after them
        if ((*task)->skip != 0) SkipFields(c, (*task)->skip);
      }
      ++task;
      more = Start(c);
    } else {
      c.avail |= left << kCountShift;
    }
    Reload(c);
    return more;
  }
  // After a Start or a rare path: every bit of buf the stream's own, 32 to
  // 63 of them counted, as the next step of any kind needs. The cursor's
  // avail must be below 64 (SkipFields keeps it there).
  [[gnu::always_inline]] static inline void Reload(BitCursor& c) { c.RefillPair<63>(); }
  [[gnu::always_inline]] static inline void SkipFields(BitCursor& c, uint32_t bits) {
    c.Skip(bits);
    c.UncountFullBuffer();
  }
};

}  // namespace velkscan

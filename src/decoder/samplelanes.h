// The checking path's sample lanes: section 4 of a frame, the part every
// scan spends most of its time in.
//
// Sections 1 to 3 (checkingsyntax.h) turn a frame's resolutions into a list
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
// `count` words of a run table, then `skip` bits of fixed-width fields. A
// version 7 run reads a set bit first, which picks one of two tables. The
// list ends with a task of no words and no bits.
struct SampleTask {
  // By set bit (version 7), run[0] otherwise; no steps: no words. Held by
  // value: a run's start then waits on one load less.
  RunTable run[2];
  const FastTable* single[2];
  uint32_t half;   // the half of a two-code table where the run begins
  uint32_t count;  // words of the run
  uint32_t skip;   // bits of fixed-width fields after it
  bool setBit;     // version 7: read the set bit first
  bool end;
};

// A frame's tasks as pointers to the tasks of each resolution, made once
// (copying the tasks themselves cost more); kEndTask ends the list.
inline constexpr SampleTask kEndTask{{}, {}, 0, 0, 0, false, true};
using TaskList = const SampleTask*;

// What a run-table step byte takes from a lane's count (SampleLane): its
// words above the low byte, its bits in it. A first word longer than
// kRunBits costs more words than any run holds, so that step too leaves the
// count below zero.
inline constexpr auto kStepCost = [] {
  struct {
    uint32_t of[256];
  } t{};
  for (uint32_t s = 0; s < 256; ++s) t.of[s] = (s >> 5) == 0 ? 0x7f00u : (s >> 5) << 8 | (s & 15);
  return t;
}();

// Works through sample tasks: the current run's table and its half. While
// a run goes on, the cursor's avail carries above its low byte the run's
// words after the next one, so one subtraction of the step's cost counts
// both the bits and the words, and its sign says whether the step is one
// of the two rare cases (the run ends, or no whole word). The cursor's
// refills keep to the low byte (BitCursor::RefillBelowCount). kTwoCodes:
// runs may alternate two codes (versions 4 to 6); otherwise the half is
// always the first.
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
  // What the last Start or Step returned.
  bool More() const { return !(*task)->end; }

  // Starts the task at `task`, or the first one after it with coded words;
  // false when the list is done. The cursor's avail must carry no count; it
  // carries the new run's.
  [[gnu::always_inline]] inline bool Start(BitCursor& c) {
    for (;; ++task) {
      const SampleTask& t = **task;
      if (t.end) return false;
      // No refill: each caller leaves at least one valid bit and refills
      // before the next look-up.
      uint32_t set = 0;
      if (t.setBit) {
        set = c.Top(1);
        c.Consume(1);
      }
      run = t.run[set];
      if (run.step == nullptr) {
        c.Skip(t.skip);
        continue;
      }
      single = t.single[set];
      at = run.step + t.half;
      c.avail |= (t.count - 1) << kCountShift;
      return true;
    }
  }
  // One look-up of the current run. A step without a refill (kRefill
  // false) may follow only one with it: a look-up takes at most kRunBits,
  // so the refill's 33 bits serve two look-ups. The rare paths end with a
  // refill of their own, so either kind of step may follow them. False
  // when the list is done (only a rare path can say so, which keeps the
  // test off the common one).
  template <bool kRefill>
  [[gnu::always_inline]] inline bool Step(BitCursor& c) {
    const uint32_t top = c.Window(kRunBits);
    const uint8_t* const steps = kTwoCodes ? at : run.step;
    const uint32_t s = steps[top];
    if constexpr (kRefill) c.RefillBelowCount();
    const uint32_t cost = kStepCost.of[s];
    c.avail -= cost;
    if (static_cast<int32_t>(c.avail) >= 0) [[likely]] {
      c.buf <<= s & 15;
      if constexpr (kTwoCodes) at = run.step + ((s & 16) << (kRunBits - 4));
      return true;
    }
    c.avail += cost;
    uint32_t left = c.avail >> kCountShift;
    c.avail &= kAvailMask;
    // No refill first: a step without one has at least 22 valid bits, enough
    // for the run's last words (at most kRunBits) or one long word (at most
    // 14), and the set bit of the next run; the refill below restores them.
    const uint32_t i = static_cast<uint32_t>(steps - run.step) + top;
    const uint32_t words = s >> 5;
    if (words != 0) {
      c.Consume((run.last[i] >> (4 * left)) & 15);
    } else {  // a word longer than kRunBits
      c.Consume(single->entries[c.Window(single->bits)].length);
    }
    bool more = true;
    if (words != 0 || left-- == 0) {
      if ((*task)->skip != 0) c.Skip((*task)->skip);
      ++task;
      more = Start(c);
    } else {
      c.avail |= left << kCountShift;
    }
    c.RefillBelowCount();
    return more;
  }
};

}  // namespace velkscan

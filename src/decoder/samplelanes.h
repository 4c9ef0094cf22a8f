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

// Works through sample tasks: the current run's table, its half and the
// words left (none once the list is done). kTwoCodes: runs may alternate two
// codes (versions 4 to 6); otherwise the half is always the first.
template <bool kTwoCodes>
struct SampleLane {
  const TaskList* task;
  RunTable run{};
  const FastTable* single = nullptr;
  // Two codes: the steps of the half where the next word begins (a pointer,
  // not an index, so the look-up waits on no extra operation).
  const uint8_t* at = nullptr;
  uint32_t left = kDone;  // words of the run after the next one; kDone: no more

  static constexpr uint32_t kDone = ~0u;
  bool More() const { return left != kDone; }

  // Starts the task at `task`, or the first one after it with coded words.
  [[gnu::always_inline]] inline void Start(BitCursor& c) {
    for (;; ++task) {
      const SampleTask& t = **task;
      if (t.end) {
        left = kDone;
        return;
      }
      const uint32_t set = t.setBit ? c.ReadBits(1) : 0;
      run = t.run[set];
      if (run.step == nullptr) {
        c.Skip(t.skip);
        continue;
      }
      single = t.single[set];
      at = run.step + t.half;
      left = t.count - 1;
      return;
    }
  }
  // One look-up of the current run. A step without a refill (kRefill
  // false) may follow only one with it: a look-up takes at most kRunBits,
  // so the refill's 33 bits serve two look-ups. The rare paths end with a
  // refill of their own, so either kind of step may follow them.
  template <bool kRefill>
  [[gnu::always_inline]] inline void Step(BitCursor& c) {
    const uint32_t top = c.Window(kRunBits);
    const uint8_t* const steps = kTwoCodes ? at : run.step;
    const uint32_t s = steps[top];
    if constexpr (kRefill) c.Refill();
    const uint32_t words = s >> 5;
    // One test for both rare cases: the run ends here, or no whole word.
    if (words - 1 < left) [[likely]] {
      c.Consume(s & 15);
      left -= words;
      if constexpr (kTwoCodes) at = run.step + ((s & 16) << (kRunBits - 4));
      return;
    }
    const uint32_t i = static_cast<uint32_t>(steps - run.step) + top;
    if constexpr (!kRefill) c.Refill();
    if (words != 0) {
      c.Consume((run.last[i] >> (4 * left)) & 15);
    } else {  // a word longer than kRunBits
      c.Consume(single->entries[c.Window(single->bits)].length);
    }
    if (words != 0 || left-- == 0) {
      if ((*task)->skip != 0) c.Skip((*task)->skip);
      ++task;
      Start(c);
    }
    c.Refill();
  }
};

}  // namespace velkscan

// The checking path's frame driver: the path every scan takes. Sections 1
// to 3 are in frontsyntax.h, the samples in samplelanes.h.
//
// This is the second writing of the frame syntax; the first, the reference
// (referencesyntax.cpp), keeps every value and reads the ring through the
// decoder's own bit reader and the linear table scans. This one keeps only
// what steers the syntax (resolutions, selection patterns, flags, escapes):
// runs whose values do not matter (scale-factor differences here, the
// samples in samplelanes.h) are measured several words per look-up,
// fixed-width runs in one step. Only the number of bits a frame consumes
// leaves the decoder, so the two must consume exactly the same bits. What
// holds them to it: FrameWalk.EachElementCostsWhatTheSyntaxSays and
// FrameWalk.StopsForTheRightReason (tests/decoder/framedecoder_test.cpp, each
// element of the syntax on both paths), RoundTrip.* (tests/generator, every
// version and profile on both paths), HuffmanLookup.* (tests/decoder/
// huffman_test.cpp, the tables and the cursor against the linear scan and
// the bit reader), and fuzz/fuzz_framewalk.cpp, which walks arbitrary bytes
// on both side by side.
//
// Sections 1 to 3 of a frame become a list of sample tasks, which a lane
// (samplelanes.h) then works through. A frame that passes ends where its
// length field says, so the next frame can be parsed alongside it, sections
// 1 to 3 in step and then the samples: two lanes in one loop keep the
// processor busy while each waits for its table look-ups. The next frame's
// parse is kept for the next call, which only takes it up.
//
// Every helper here is forced inline ([[gnu::always_inline]]): a frame's
// parse must keep its cursors in registers from start to end.
#pragma once

#include <type_traits>

#include "decoder/bitcursor.h"
#include "decoder/framedecoder.h"
#include "decoder/frontsyntax.h"
#include "decoder/samplelanes.h"

namespace velkscan {

// The decoder's read position as a cursor, and back.
class CheckingReader {
 public:
  explicit CheckingReader(FrameDecoder& d) : d_(d), start_(d.wordIndex) {
    cursor.Set(d.ring, start_, d.bitPos);
  }
  // Hands the read position back to the decoder.
  void Finish() {
    const uint32_t pos = cursor.Position();
    const uint32_t word = pos >> 5;
    d_.wordsConsumed += word - start_;
    d_.bitPos = pos & 31;
    if (word != start_) {
      d_.wordIndex = word & kRingMask;
      d_.currentWord = d_.ring[d_.wordIndex];
    }
  }

  BitCursor cursor;

 private:
  FrameDecoder& d_;
  uint32_t start_;
};

// One frame on the checking path, and with lookAhead the next one along
// with it where it lies wholly in what the ring holds now. lookAhead only
// where a next frame is due and the ring changes only through RefillRing
// until it is checked.
template <class Syntax>
void ParseFrameChecking(FrameDecoder& d, CheckingReader& r, bool lookAhead) {
  const uint64_t here = uint64_t{d.wordsConsumed} * 32 + d.bitPos;
  if (d.ahead.valid && d.ahead.bodyStart == here) {
    d.ahead.valid = false;
    r.cursor.Skip(d.ahead.bodyBits);
    return;
  }
  d.ahead.valid = false;
  const FastTables& f = *d.fast;
  // The ring holds the stream from the start of the current half for the
  // next 64 KiB; the half behind is refilled only after this frame.
  const uint32_t held = ((d.wordIndex & kRingHalfWords) + kRingWords) * 32;

  TaskList tasksA[2 * kSubbands + 1], tasksB[2 * kSubbands + 1];
  TaskList* const tasks[2] = {tasksA, tasksB};
  BitCursor c[2] = {r.cursor, r.cursor};
  uint32_t startB = 0;
  if (lookAhead && r.cursor.Position() + d.frameLength + kLengthFieldBits <= held) {
    c[1].Skip(d.frameLength);
    // The cursor reads at most 16 bits at a time: the length field in halves.
    constexpr uint32_t kHalf = kLengthFieldBits / 2;
    const uint32_t high = c[1].ReadBits(kHalf);
    const uint32_t lengthB = high << kHalf | c[1].ReadBits(kHalf);
    if (c[1].Position() + lengthB <= held) startB = c[1].Position();
  }
  constexpr bool kTwoCodes = std::is_same_v<Syntax, Sv46Syntax>;
  using Sample = SampleLane<kTwoCodes>;
  Sample a{tasksA}, b{tasksB};
  if (startB != 0)
    Syntax::template Front<2>(d, f, c, tasks);
  else
    Syntax::template Front<1>(d, f, c, tasks);
  BitCursor ca = c[0], cb = c[1];
  // Both lanes read the same ring: one register for it in the loops.
  ca.ring = cb.ring = d.ring;
  d.RepeatRingStart();
  bool moreA = a.Begin(ca), moreB = startB != 0 && b.Begin(cb);
  // A refill every third look-up of each lane; a lane that ends leaves the
  // other to go on alone.
  while (moreA && moreB) {
    if (!a.template Step<Sample::kRefill>(ca))
      moreA = false;
    else if (!b.template Step<Sample::kRefill>(cb))
      moreB = false;
    else if (!a.template Step<Sample::kPlain>(ca))
      moreA = false;
    else if (!b.template Step<Sample::kPlain>(cb))
      moreB = false;
    else if (!a.template Step<Sample::kLast>(ca))
      moreA = false;
    else if (!b.template Step<Sample::kLast>(cb))
      moreB = false;
  }
  if (moreA) a.Finish(ca);
  if (moreB) b.Finish(cb);
  // Kept only if every bit it took was in the ring already.
  if (startB != 0 && cb.Position() <= held) {
    d.ahead.valid = true;
    d.ahead.bodyStart = here + d.frameLength + kLengthFieldBits;
    d.ahead.bodyBits = cb.Position() - startB;
  }
  r.cursor = ca;
}

}  // namespace velkscan

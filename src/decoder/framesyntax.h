// The two frame syntaxes, each written once and instantiated with one of two
// readers: the reference reader goes through the decoder's own bit reader and
// the linear table scans and keeps every decoded value; the checking reader
// works on a copy of the read position held in registers, looks codes up in
// direct-index tables, and keeps only what steers the syntax (resolutions,
// selection patterns, flags, escapes). Only the number of bits consumed leaves
// the decoder, so both must consume exactly the same bits.
#pragma once

#include <algorithm>
#include <array>
#include <type_traits>

#include "decoder/framedecoder.h"

namespace velkscan {

constexpr TableId Sv7SampleTableId(int set, int resolution) {
  return static_cast<TableId>(Sv7SampleCodeSet0Res1 + 2 * (resolution - 1) + set);
}
constexpr TableId Sv46SampleTableId(int resolution) {
  return static_cast<TableId>(Sv46SampleCodeRes1 + resolution - 1);
}

// A run of code words of one table, or of two tables taken in turn (left and
// right samples of a subband); slot is the table as the syntax reaches it.
struct CodeRun {
  TableId id;
  const HuffmanEntry* slot;  // null: this channel has no words in the run
};

class ReferenceReader {
 public:
  static constexpr bool kKeepValues = true;

  explicit ReferenceReader(FrameDecoder& d) : d_(d) {}
  void Finish() {}

  uint32_t ReadBits(uint32_t n) { return d_.ReadBits(n); }

  int32_t Decode(TableId id) { return DecodeWith(d_.table[id], id); }
  void Split6(TableId id, int32_t& pattern, int32_t& flag) {
    d_.DecodeHuffmanSplit6(d_.table[id], pattern, flag);
  }

  // count rounds of: a word of a (if any), then a word of b (if any).
  template <class StoreA, class StoreB>
  void Codes(CodeRun a, CodeRun b, int count, StoreA storeA, StoreB storeB) {
    for (int k = 0; k < count; ++k) {
      if (a.slot != nullptr) storeA(k, DecodeWith(a.slot, a.id));
      if (b.slot != nullptr) storeB(k, DecodeWith(b.slot, b.id));
    }
  }
  // count rounds of: a field of widthA bits (if not 0), then one of widthB.
  template <class StoreA, class StoreB>
  void Fields(uint32_t widthA, uint32_t widthB, int count, StoreA storeA, StoreB storeB) {
    for (int k = 0; k < count; ++k) {
      if (widthA != 0) storeA(k, d_.ReadBits(widthA));
      if (widthB != 0) storeB(k, d_.ReadBits(widthB));
    }
  }

 private:
  // Each table is read with the look-ahead the syntax names for it.
  int32_t DecodeWith(const HuffmanEntry* table, TableId id) {
    switch (kCodeTables[id].depth) {
      case 14:
        return d_.DecodeHuffman14(table);
      case 5:
        return d_.DecodeHuffman5(table);
      default:
        return d_.DecodeHuffman10(table);
    }
  }
  FrameDecoder& d_;
};

// The read position of the checking path, kept apart from the decoder so a
// whole frame's parse holds it in registers: the next stream bits
// left-aligned in 64 bits, how many of them are valid, and the ring index of
// the next word to load. At least 16 bits are valid between operations, so
// a look-up can index with the buffer before the refill has merged the next
// word below them, and the refill never waits for the look-up.
#define VELK_INLINE [[gnu::always_inline]] inline

struct BitCursor {
  uint64_t buf;    // zeros below the valid bits
  uint32_t avail;  // valid bits in buf: 17..64 between operations
  uint32_t next;   // ring index of the next word to load, not yet masked
  const uint32_t* ring;

  VELK_INLINE uint32_t Top(uint32_t n) const { return static_cast<uint32_t>(buf >> (64 - n)); }  // n = 1..32

  // Tops the valid bits up to at least 32 without a branch: whether a word
  // is due is as good as random. The next word is merged below the valid
  // bits every time, since those are the stream's own bits wherever it
  // lands (and shifted out wholly when 64 bits are valid); it counts as
  // loaded only once it fits whole.
  VELK_INLINE void Refill() {
    buf |= (uint64_t{ring[next & kRingMask]} << 31) >> (avail - 1);
    const uint32_t due = (avail - 33) >> 31;  // avail <= 32
    next += due;
    avail += due << 5;
  }
  // n <= 16: after a refill at least 32 bits are valid.
  VELK_INLINE void Consume(uint32_t n) {
    buf <<= n;
    avail -= n;
  }
  VELK_INLINE uint32_t ReadBits(uint32_t n) {  // n = 1..16
    const uint32_t value = Top(n);
    Refill();
    Consume(n);
    return value;
  }
  VELK_INLINE int32_t Decode(const FastTable& t) {
    const FastCode c = t.entries[Top(t.bits)];
    Refill();
    Consume(c.length);
    return c.value;
  }
  // Any number of bits, as one jump (fixed-width fields).
  VELK_INLINE void Skip(uint32_t n) {
    const uint32_t pos = Position() + n;
    const uint32_t word = pos >> 5;
    buf = ((uint64_t{ring[word & kRingMask]} << 32) | ring[(word + 1) & kRingMask]) << (pos & 31);
    avail = 64 - (pos & 31);
    next = word + 2;
  }
  // Bit index of the next unread bit, counted from ring word 0.
  uint32_t Position() const { return next * 32 - avail; }

  // One look-up of a run of `count` (>= 1) words of one code: passes
  // several at a time, and the look-up that holds the run's last word gives
  // the bits up to it. Returns the words left.
  VELK_INLINE uint32_t RunStep(const RunTable& run, const FastTable& single, uint32_t count) {
    const uint32_t i = Top(kRunBits);
    const uint32_t step = run.step[i];
    Refill();
    const uint32_t words = step >> 5;
    if (words >= count) {
      Consume((run.last[i] >> (4 * count - 4)) & 15);
      return 0;
    }
    if (words == 0) [[unlikely]] {  // a word longer than kRunBits
      Consume(single.entries[Top(single.bits)].length);
      return count - 1;
    }
    Consume(step & 15);
    return count - words;
  }
  VELK_INLINE void SkipRun(const RunTable& run, const FastTable& single, uint32_t count) {
    while (count != 0) count = RunStep(run, single, count);
  }
};

class CheckingReader {
 public:
  explicit CheckingReader(FrameDecoder& d) : d_(d), start_(d.wordIndex) {
    const uint32_t b = d.bitPos;
    cursor.buf = ((uint64_t{d.currentWord} << 32) | d.ring[(start_ + 1) & kRingMask]) << b;
    cursor.avail = 64 - b;
    cursor.next = start_ + 2;
    cursor.ring = d.ring;
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

// The last subband a frame codes; a maximum band beyond the arrays is held to
// them (the header reader rejects such headers; this guards direct callers).
inline int LastBand(const FrameDecoder& d) {
  return std::min(d.maxBand, kSubbands - 1);
}

inline constexpr auto kNoStore = [](int, int32_t) {};

// Sample value of a fixed-width field of a resolution r = 8..17.
inline int32_t FixedWidthSample(uint32_t field, int32_t r) {
  return static_cast<int32_t>(field) - ((1 << (r - 2)) - 1);
}

// ---------------------------------------------------------------------------
// Stream version 7 (and 23).

// The samples of one channel of one subband. False: the resolution lies
// outside -17..17 and the frame ends here.
template <class R>
bool Sv7ChannelSamples(FrameDecoder& d, R& r, int32_t res, int32_t* out) {
  if (res < -17 || res > 17) return false;
  if (res == -1) {
    if constexpr (R::kKeepValues) {
      for (int k = 0; k < kSamplesPerSubband; ++k) {
        const uint32_t w = d.NextNoise();
        out[k] = static_cast<int32_t>((w & 0xFF) + ((w >> 8) & 0xFF) + ((w >> 16) & 0xFF) + (w >> 24)) - 510;
      }
    }
    return true;
  }
  if (res <= 0) return true;  // 0 and -17..-2 carry no sample bits
  if (res >= 8) {
    r.Fields(
        static_cast<uint32_t>(res - 1), 0, kSamplesPerSubband,
        [&](int k, uint32_t field) { out[k] = FixedWidthSample(field, res); }, kNoStore);
    return true;
  }
  const int set = static_cast<int>(r.ReadBits(1));
  const CodeRun run{Sv7SampleTableId(set, res), d.Sv7SampleTables[set][res]};
  const CodeRun none{run.id, nullptr};
  if (res == 1) {  // a word per three samples
    r.Codes(
        run, none, 12,
        [&](int g, int32_t v) {
          out[3 * g] = v % 3 - 1;
          out[3 * g + 1] = v / 3 % 3 - 1;
          out[3 * g + 2] = v / 9 - 1;
        },
        kNoStore);
  } else if (res == 2) {  // a word per two samples
    r.Codes(
        run, none, 18,
        [&](int g, int32_t v) {
          out[2 * g] = v % 5 - 2;
          out[2 * g + 1] = v / 5 - 2;
        },
        kNoStore);
  } else {
    r.Codes(
        run, none, kSamplesPerSubband, [&](int k, int32_t v) { out[k] = v; }, kNoStore);
  }
  return true;
}

// The three scale-factor indexes of a selection pattern: 0 codes all three,
// 1 the first two (the third repeats the second), 2 the first and the third
// (the second repeats the first), 3 the first alone. i2 becomes the channel's
// reference for the next frame.
template <bool kKeepValues, class First, class Next>
void ScaleFactorIndexes(int32_t pattern, First first, Next next, int32_t& ref, int32_t* index) {
  const int32_t i0 = first();
  int32_t i1, i2;
  switch (pattern) {
    case 0:
      i1 = next(i0);
      i2 = next(i1);
      break;
    case 1:
      i1 = next(i0);
      i2 = i1;
      break;
    case 2:
      i1 = i0;
      i2 = next(i1);
      break;
    default:
      i1 = i2 = i0;
      break;
  }
  if constexpr (kKeepValues) {
    index[0] = i0;
    index[1] = i1;
    index[2] = i2;
    ref = i2;
  }
}

// Version 7: each index a difference from the one before (the first from the
// reference), or escape 8 and a plain 6-bit index.
template <class R>
void Sv7ScaleFactors(R& r, int32_t pattern, int32_t& ref, int32_t* index) {
  auto next = [&r](int32_t base) {
    const int32_t delta = r.Decode(Sv7ScfDeltaCode);
    return delta == 8 ? static_cast<int32_t>(r.ReadBits(6)) : base + delta;
  };
  ScaleFactorIndexes<R::kKeepValues>(
      pattern, [&] { return next(ref); }, next, ref, index);
}

template <class R>
void ParseFrameSv7(FrameDecoder& d, R& r) {
  const bool midSide = d.midSide == 1;

  // Section 1: resolutions (differences, or escape 4 and a plain 4-bit
  // value) and mid/side flags.
  d.resL[0] = static_cast<int32_t>(r.ReadBits(4));
  d.resR[0] = static_cast<int32_t>(r.ReadBits(4));
  if (midSide && (d.resL[0] != 0 || d.resR[0] != 0)) d.msFlag[0] = static_cast<int32_t>(r.ReadBits(1));
  int maxUsedBand = 0;
  const int lastBand = LastBand(d);
  for (int n = 1; n <= lastBand; ++n) {
    int32_t delta = r.Decode(Sv7ResDeltaCode);
    d.resL[n] = delta == 4 ? static_cast<int32_t>(r.ReadBits(4)) : d.resL[n - 1] + delta;
    delta = r.Decode(Sv7ResDeltaCode);
    d.resR[n] = delta == 4 ? static_cast<int32_t>(r.ReadBits(4)) : d.resR[n - 1] + delta;
    if (d.resL[n] != 0 || d.resR[n] != 0) {
      if (midSide) d.msFlag[n] = static_cast<int32_t>(r.ReadBits(1));
      maxUsedBand = n;
    }
  }

  // Section 2: scale-factor selection patterns.
  for (int n = 0; n <= maxUsedBand; ++n) {
    if (d.resL[n] != 0) d.scfSelectL[n] = r.Decode(Sv7ScfSelectCode);
    if (d.resR[n] != 0) d.scfSelectR[n] = r.Decode(Sv7ScfSelectCode);
  }

  // Section 3: scale-factor indexes, left then right, band by band.
  for (int n = 0; n <= maxUsedBand; ++n) {
    if (d.resL[n] != 0) Sv7ScaleFactors(r, d.scfSelectL[n], d.scfRefL[n], d.scfIndexL[n]);
    if (d.resR[n] != 0) Sv7ScaleFactors(r, d.scfSelectR[n], d.scfRefR[n], d.scfIndexR[n]);
  }

  // Section 4: samples; a resolution outside -17..17 ends the frame.
  for (int n = 0; n <= maxUsedBand; ++n) {
    if (!Sv7ChannelSamples(d, r, d.resL[n], d.samples[n].left)) return;
    if (!Sv7ChannelSamples(d, r, d.resR[n], d.samples[n].right)) return;
  }
}

// ---------------------------------------------------------------------------
// Stream versions 4 to 6.

// Versions 4 to 6: differences (the first from the reference) when the
// differential flag is set, plain 6-bit indexes otherwise.
template <class R>
void Sv46ScaleFactors(R& r, int32_t pattern, int32_t differential, int32_t& ref, int32_t* index) {
  auto next = [&r, differential](int32_t base) {
    return differential != 0 ? base + r.Decode(Sv46ScfDeltaCode) : static_cast<int32_t>(r.ReadBits(6));
  };
  ScaleFactorIndexes<R::kKeepValues>(
      pattern, [&] { return next(ref); }, next, ref, index);
}

inline TableId Sv46ResCodeFor(int band) {
  return band <= 10 ? Sv46ResCodeA : band <= 22 ? Sv46ResCodeB : Sv46ResCodeC;
}

template <class R>
void ParseFrameSv46(FrameDecoder& d, R& r) {
  const bool midSide = d.midSide == 1;

  // Section 1: each band's resolution index, coded on its own; the mid/side
  // bit sits between left and right for every band up to the maximum.
  int maxUsedBand = 0;
  const int lastBand = LastBand(d);
  for (int n = 0; n <= lastBand; ++n) {
    const TableId code = Sv46ResCodeFor(n);
    d.resL[n] = d.resolutionMap[n][r.Decode(code)];
    if (midSide) d.msFlag[n] = static_cast<int32_t>(r.ReadBits(1));
    d.resR[n] = d.resolutionMap[n][r.Decode(code)];
    if (d.resL[n] != 0 || d.resR[n] != 0) maxUsedBand = n;
  }

  // Section 2: selection pattern and differential flag per channel.
  for (int n = 0; n <= maxUsedBand; ++n) {
    if (d.resL[n] != 0) r.Split6(Sv46ScfSelectCode, d.scfSelectL[n], d.dscfFlagL[n]);
    if (d.resR[n] != 0) r.Split6(Sv46ScfSelectCode, d.scfSelectR[n], d.dscfFlagR[n]);
  }

  // Section 3: scale-factor indexes, left then right, band by band.
  for (int n = 0; n <= maxUsedBand; ++n) {
    if (d.resL[n] != 0) Sv46ScaleFactors(r, d.scfSelectL[n], d.dscfFlagL[n], d.scfRefL[n], d.scfIndexL[n]);
    if (d.resR[n] != 0) Sv46ScaleFactors(r, d.scfSelectR[n], d.dscfFlagR[n], d.scfRefR[n], d.scfIndexR[n]);
  }

  // Section 4: per band a coded pass (channels interleaved sample by sample)
  // and then a fixed-width pass.
  for (int n = 0; n <= maxUsedBand; ++n) {
    const int32_t rl = d.resL[n], rr = d.resR[n];
    SampleBand& band = d.samples[n];
    auto storeL = [&band](int k, int32_t v) { band.left[k] = v; };
    auto storeR = [&band](int k, int32_t v) { band.right[k] = v; };
    const bool codedL = rl >= 1 && rl <= 7, codedR = rr >= 1 && rr <= 7;
    if (codedL || codedR) {
      const CodeRun left{Sv46SampleTableId(codedL ? rl : rr), codedL ? d.Sv46SampleTables[rl] : nullptr};
      const CodeRun right{Sv46SampleTableId(codedR ? rr : rl), codedR ? d.Sv46SampleTables[rr] : nullptr};
      r.Codes(left, right, kSamplesPerSubband, storeL, storeR);
    }
    const uint32_t widthL = rl > 7 ? static_cast<uint32_t>(rl - 1) : 0;
    const uint32_t widthR = rr > 7 ? static_cast<uint32_t>(rr - 1) : 0;
    if (widthL != 0 || widthR != 0) {
      r.Fields(
          widthL, widthR, kSamplesPerSubband,
          [&](int k, uint32_t field) { band.left[k] = FixedWidthSample(field, rl); },
          [&](int k, uint32_t field) { band.right[k] = FixedWidthSample(field, rr); });
    }
  }
}

// ---------------------------------------------------------------------------
// The checking path: the same syntaxes, keeping only what steers them. Runs
// whose values do not matter (samples, scale-factor differences) are
// measured several words per look-up, and fixed-width runs in one step.
//
// Sections 1 to 3 of a frame become a list of sample tasks, which a lane
// then works through. A frame that passes ends where its length field says,
// so the next frame can be parsed alongside it, sections 1 to 3 in step and
// then the samples: two lanes in one loop keep the processor busy while
// each waits for its table look-ups. The next
// frame's parse is kept for the next call, which only takes it up.

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
  VELK_INLINE void Start(BitCursor& c) {
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
  VELK_INLINE void Step(BitCursor& c) {
    const uint32_t top = c.Top(kRunBits);
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
      c.Consume(single->entries[c.Top(single->bits)].length);
    }
    if (words != 0 || left-- == 0) {
      if ((*task)->skip != 0) c.Skip((*task)->skip);
      ++task;
      Start(c);
    }
    c.Refill();
  }
};

// The sections 1 to 3 of one frame, or of two frames in step: each lane is a
// chain of look-ups that waits on the one before, so two independent chains
// side by side keep the processor busy. Lane l reads with c[l].
template <int L>
using Lane = std::integral_constant<int, L>;

// f(Lane<0>), ..., f(Lane<N - 1>).
template <int N, class F>
VELK_INLINE void ForLanes(F f) {
  f(Lane<0>{});
  if constexpr (N == 2) f(Lane<1>{});
}

// step(lane) does one step of a lane and returns whether it has more (false
// at once when it had none); the lanes go in turn until each is done.
template <int N, class F>
VELK_INLINE void InStep(F step) {
  if constexpr (N == 1) {
    while (step(Lane<0>{})) {
    }
  } else {
    bool more0 = step(Lane<0>{}), more1 = step(Lane<1>{});
    while (more0 && more1) {
      more0 = step(Lane<0>{});
      more1 = step(Lane<1>{});
    }
    while (more0) more0 = step(Lane<0>{});
    while (more1) more1 = step(Lane<1>{});
  }
}

// Version 7 (and 23), sections 1 to 3; writes the sample tasks.
struct Sv7Syntax {
  template <int N>
  static void Front(const FrameDecoder& d, const FastTables& f, BitCursor* cursors, TaskList* const* tasks) {
    const bool midSide = d.midSide == 1;
    BitCursor c[N];
    ForLanes<N>([&](auto l) { c[l] = cursors[l]; });
    struct {
      int32_t resL, resR;
      uint32_t selections, scaleCodes;
      TaskList* task;  // the next sample task
      bool valid;      // no resolution outside -17..17 so far
    } st[N];
    // Section 4's tasks as section 1 finds the resolutions, left before
    // right; a resolution outside -17..17 ends the frame. Bands past the
    // last one used hold none.
    const SampleTask* const taskOf = TaskOfResolution(f);
    auto addTasks = [taskOf](auto& s) {
      for (const int32_t res : {s.resL, s.resR}) {
        s.valid = s.valid && res >= -17 && res <= 17;
        *s.task = &taskOf[std::clamp(res, 0, 17)];
        s.task += s.valid && res > 0;  // 0 and -17..-1 carry no sample bits
      }
    };

    // Section 1: resolutions and mid/side flags; count the channels that
    // carry a selection code.
    ForLanes<N>([&](auto l) {
      auto& s = st[l];
      s.resL = static_cast<int32_t>(c[l].ReadBits(4));
      s.resR = static_cast<int32_t>(c[l].ReadBits(4));
      if (midSide && (s.resL | s.resR) != 0) c[l].ReadBits(1);
      s.selections = (s.resL != 0) + (s.resR != 0);
      s.scaleCodes = 0;
      s.task = tasks[l];
      s.valid = true;
      addTasks(s);
    });
    const int lastBand = LastBand(d);
    const FastTable& resDelta = f.table[Sv7ResDeltaCode];
    for (int n = 1; n <= lastBand; ++n) {
      ForLanes<N>([&](auto l) {
        auto& s = st[l];
        // Both differences at once unless one is long or the escape.
        const uint32_t pair = f.sv7ResPair[c[l].Top(kResPairBits)];
        if (pair != 0) [[likely]] {
          c[l].Refill();
          c[l].Consume(pair & 15);
          s.resL += static_cast<int32_t>((pair >> 4) & 15) - 5;
          s.resR += static_cast<int32_t>(pair >> 8) - 5;
        } else {
          int32_t delta = c[l].Decode(resDelta);
          s.resL = delta == 4 ? static_cast<int32_t>(c[l].ReadBits(4)) : s.resL + delta;
          delta = c[l].Decode(resDelta);
          s.resR = delta == 4 ? static_cast<int32_t>(c[l].ReadBits(4)) : s.resR + delta;
        }
        if ((s.resL | s.resR) != 0) {
          if (midSide) c[l].ReadBits(1);
          s.selections += (s.resL != 0) + (s.resR != 0);
        }
        addTasks(s);
      });
    }

    // Section 2: selection patterns, of which only the number of
    // scale-factor codes they call for matters; section 3: that many
    // difference codes, an escape with its 6-bit index counting as one
    // longer word.
    InStep<N>([&](auto l) {
      auto& s = st[l];
      if (s.selections == 0) return false;
      const uint32_t entry = f.sv7SelectRun[c[l].Top(kRunBits)];
      const uint32_t words = (entry >> 5) & 15;
      if (words > s.selections) {
        // The window holds more codes than are left: one at a time.
        static constexpr uint32_t kCodesOfPattern[4] = {3, 2, 2, 1};
        for (; s.selections != 0; --s.selections)
          s.scaleCodes += kCodesOfPattern[c[l].Decode(f.table[Sv7ScfSelectCode])];
        return false;
      }
      c[l].Refill();
      c[l].Consume(entry & 31);
      s.selections -= words;
      s.scaleCodes += entry >> 9;
      return s.selections != 0;
    });
    InStep<N>([&](auto l) {
      auto& s = st[l];
      if (s.scaleCodes == 0) return false;
      s.scaleCodes = c[l].RunStep(f.run[Sv7ScfDeltaCode], f.table[Sv7ScfDeltaCode], s.scaleCodes);
      return s.scaleCodes != 0;
    });
    ForLanes<N>([&](auto l) {
      cursors[l] = c[l];
      *st[l].task = &kEndTask;
    });
  }

  // The task of each resolution 0..17, made once: a channel's task is a copy,
  // kept unless the resolution carries no sample bits (no branch that the
  // resolutions steer).
  static const SampleTask* TaskOfResolution(const FastTables& f) {
    static const std::array<SampleTask, 18> tasks = [&f] {
      std::array<SampleTask, 18> t{};
      for (int res = 8; res <= 17; ++res) t[res].skip = kSamplesPerSubband * static_cast<uint32_t>(res - 1);
      for (int res = 1; res <= 7; ++res) {
        t[res].setBit = true;
        for (int set = 0; set < 2; ++set) {
          t[res].run[set] = f.run[Sv7SampleTableId(set, res)];
          t[res].single[set] = &f.table[Sv7SampleTableId(set, res)];
        }
        // A word codes three samples at resolution 1, two at resolution 2.
        t[res].count = res == 1 ? 12 : res == 2 ? 18 : kSamplesPerSubband;
      }
      return t;
    }();
    return tasks.data();
  }
};

// Versions 4 to 6, sections 1 to 3; writes the sample tasks.
struct Sv46Syntax {
  template <int N>
  static void Front(const FrameDecoder& d, const FastTables& f, BitCursor* cursors, TaskList* const* tasks) {
    const bool midSide = d.midSide == 1;
    BitCursor c[N];
    ForLanes<N>([&](auto l) { c[l] = cursors[l]; });
    // Section 3 as stretches of difference codes between plain fields.
    struct Stretch {
      uint32_t codes;      // difference codes
      uint32_t plainBits;  // then this many bits of plain fields
    };
    struct {
      uint32_t selections;  // channels with a resolution other than 0
      TaskList* task;       // the next sample task
      uint32_t pending;
      Stretch stretches[2 * kSubbands + 1];
      uint32_t stretchCount, stretch;
    } st[N];

    // Section 1: resolution indexes, the mid/side bit between them; section
    // 4's tasks as the resolutions come (per band the coded samples, the
    // channels' words in turn, then the fixed-width fields; none in the
    // bands past the last one used).
    const SampleTask* const taskOf = TaskOfResolutions(f);
    ForLanes<N>([&](auto l) {
      st[l].selections = 0;
      st[l].task = tasks[l];
    });
    const int lastBand = LastBand(d);
    for (int n = 0; n <= lastBand; ++n) {
      const FastTable& code = f.table[Sv46ResCodeFor(n)];
      ForLanes<N>([&](auto l) {
        auto& s = st[l];
        const int32_t resL = d.resolutionMap[n][c[l].Decode(code)];
        if (midSide) c[l].ReadBits(1);
        const int32_t resR = d.resolutionMap[n][c[l].Decode(code)];
        s.selections += (resL != 0) + (resR != 0);
        *s.task = &taskOf[18 * resL + resR];
        s.task += (resL | resR) != 0;  // any resolution but 0 carries sample bits
      });
    }

    // Section 2: per channel a pattern (how many indexes) and a flag (coded
    // as differences, or as plain 6-bit fields); without a branch on the
    // flag, which follows the data.
    ForLanes<N>([&](auto l) {
      st[l].pending = 0;
      st[l].stretchCount = 0;
    });
    const FastTable& select = f.table[Sv46ScfSelectCode];
    InStep<N>([&](auto l) {
      auto& s = st[l];
      static constexpr uint32_t kIndexesOfPattern[4] = {3, 2, 2, 1};
      if (s.selections == 0) return false;
      const int32_t v = c[l].Decode(select);
      const uint32_t indexes = kIndexesOfPattern[v >> 1];
      const uint32_t differential = static_cast<uint32_t>(v & 1);
      s.stretches[s.stretchCount] = {s.pending, 6 * indexes};  // kept if plain
      s.stretchCount += differential ^ 1;
      s.pending = (s.pending + indexes) & (0u - differential);
      return --s.selections != 0;
    });

    // Section 3: the stretches in turn.
    ForLanes<N>([&](auto l) {
      st[l].stretches[st[l].stretchCount++] = {st[l].pending, 0};
      st[l].stretch = 0;
    });
    const FastTable& delta = f.table[Sv46ScfDeltaCode];
    InStep<N>([&](auto l) {
      auto& s = st[l];
      if (s.stretch == s.stretchCount) return false;
      Stretch& here = s.stretches[s.stretch];
      if (here.codes != 0) {
        here.codes = c[l].RunStep(f.run[Sv46ScfDeltaCode], delta, here.codes);
        return true;
      }
      if (here.plainBits != 0) c[l].Skip(here.plainBits);
      return ++s.stretch != s.stretchCount;
    });
    ForLanes<N>([&](auto l) {
      cursors[l] = c[l];
      *st[l].task = &kEndTask;
    });
  }

  // The task of each pair of resolutions 0..17, made once (index 18 * left +
  // right); `end` marks the pairs that carry no sample bits.
  static const SampleTask* TaskOfResolutions(const FastTables& f) {
    static const std::array<SampleTask, 18 * 18> tasks = [&f] {
      std::array<SampleTask, 18 * 18> all{};
      for (int rl = 0; rl < 18; ++rl) {
        for (int rr = 0; rr < 18; ++rr) {
          SampleTask* t = &all[18 * rl + rr];
          const bool codedL = rl >= 1 && rl <= 7, codedR = rr >= 1 && rr <= 7;
          const int32_t width = (rl > 7 ? rl - 1 : 0) + (rr > 7 ? rr - 1 : 0);
          t->end = !codedL && !codedR && width == 0;
          t->skip = kSamplesPerSubband * static_cast<uint32_t>(width);
          if (codedL && codedR && rl != rr) {
            t->run[0] = f.alternating[rl][rr];
            t->half = f.alternatingHalf[rl][rr];
            t->single[0] = &f.table[Sv46SampleTableId(rl)];  // never needed: no word exceeds kRunBits
            t->count = 2 * kSamplesPerSubband;
          } else if (codedL || codedR) {
            const TableId id = Sv46SampleTableId(codedL ? rl : rr);
            t->run[0] = f.run[id];
            t->single[0] = &f.table[id];
            t->count = (codedL && codedR ? 2 : 1) * kSamplesPerSubband;
          }
        }
      }
      return all;
    }();
    return tasks.data();
  }
};

// One frame on the checking path, and the next one along with it where it
// lies wholly in what the ring holds now.
template <class Syntax>
void ParseFrameChecking(FrameDecoder& d, CheckingReader& r) {
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
  if (d.framesDecoded + 1 < d.frameCount && r.cursor.Position() + d.frameLength + 20 <= held) {
    c[1].Skip(d.frameLength);
    const uint32_t high = c[1].ReadBits(10);
    const uint32_t lengthB = high << 10 | c[1].ReadBits(10);
    if (c[1].Position() + lengthB <= held) startB = c[1].Position();
  }
  constexpr bool kTwoCodes = std::is_same_v<Syntax, Sv46Syntax>;
  SampleLane<kTwoCodes> a{tasksA}, b{tasksB};
  if (startB != 0) {
    Syntax::template Front<2>(d, f, c, tasks);
    a.Start(c[0]);
    b.Start(c[1]);
  } else {
    Syntax::template Front<1>(d, f, c, tasks);
    a.Start(c[0]);
  }
  BitCursor ca = c[0], cb = c[1];
  // Both lanes read the same ring: one register for it in the loops.
  ca.ring = cb.ring = d.ring;
  // A refill every other look-up of each lane.
  while (a.More() && b.More()) {
    a.template Step<true>(ca);
    b.template Step<true>(cb);
    if (!a.More() || !b.More()) break;
    a.template Step<false>(ca);
    b.template Step<false>(cb);
  }
  while (a.More()) a.template Step<true>(ca);
  while (b.More()) b.template Step<true>(cb);
  // Kept only if every bit it took was in the ring already.
  if (startB != 0 && cb.Position() <= held) {
    d.ahead.valid = true;
    d.ahead.bodyStart = here + d.frameLength + 20;
    d.ahead.bodyBits = cb.Position() - startB;
  }
  r.cursor = ca;
}

inline void ParseFrameSv7(FrameDecoder& d, CheckingReader& r) {
  ParseFrameChecking<Sv7Syntax>(d, r);
}
inline void ParseFrameSv46(FrameDecoder& d, CheckingReader& r) {
  ParseFrameChecking<Sv46Syntax>(d, r);
}

}  // namespace velkscan

// The two frame syntaxes, each written once and instantiated with one of two
// readers: the reference reader goes through the decoder's own bit reader and
// the linear table scans and keeps every decoded value; the checking reader
// works on a copy of the read position held in registers, looks codes up in
// direct-index tables, and keeps only what steers the syntax (resolutions,
// selection patterns, flags, escapes). Only the number of bits consumed leaves
// the decoder, so both must consume exactly the same bits.
#pragma once

#include <algorithm>

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

// The read position of the checking path, kept apart from the decoder so it
// can live in registers: the current word and the following ring word side
// by side, the bits of the current word consumed, its ring index, and the
// words stepped over.
struct ReadPosition {
  uint64_t pair;
  uint32_t bitPos;
  uint32_t wordIndex;
  uint32_t wordsConsumed;

  // The next 32 bits at the top (nothing is consumed).
  uint32_t Peek() const { return static_cast<uint32_t>((pair << bitPos) >> 32); }

  // Without a branch: whether a read crosses into the next word is as good
  // as random, so the step is worked out always and kept or not.
  void Skip(const uint32_t* ring, uint32_t n) {  // n <= 32
    bitPos += n;
    if (bitPos >= 32) {
      bitPos -= 32;
      wordIndex = (wordIndex + 1) & kRingMask;
      ++wordsConsumed;
      pair = (pair << 32) | ring[(wordIndex + 1) & kRingMask];
    }
  }

  void SkipMany(const uint32_t* ring, uint32_t n) {
    const uint32_t p = bitPos + n;
    bitPos = p & 31;
    const uint32_t words = p >> 5;
    if (words == 0) return;
    wordIndex = (wordIndex + words) & kRingMask;
    wordsConsumed += words;
    pair = (uint64_t{ring[wordIndex]} << 32) | ring[(wordIndex + 1) & kRingMask];
  }

  int32_t Decode(const uint32_t* ring, const FastTable& t) {
    const FastCode c = t.entries[Peek() >> (32 - t.bits)];
    Skip(ring, c.length);
    return c.value;
  }
};

class CheckingReader {
 public:
  static constexpr bool kKeepValues = false;

  explicit CheckingReader(FrameDecoder& d)
      : d_(d),
        ring_(d.ring),
        fast_(*d.fast),
        at_{(uint64_t{d.currentWord} << 32) | d.ring[(d.wordIndex + 1) & kRingMask], d.bitPos, d.wordIndex,
            d.wordsConsumed} {}
  // Hands the read position back to the decoder.
  void Finish() {
    d_.currentWord = static_cast<uint32_t>(at_.pair >> 32);
    d_.bitPos = at_.bitPos;
    d_.wordIndex = at_.wordIndex;
    d_.wordsConsumed = at_.wordsConsumed;
  }

  // The same bits ReadBits(n) returns, n = 1..32.
  uint32_t ReadBits(uint32_t n) {
    const uint32_t value = at_.Peek() >> (32 - n);
    at_.Skip(ring_, n);
    return value;
  }

  int32_t Decode(TableId id) { return at_.Decode(ring_, fast_.table[id]); }
  void Split6(TableId id, int32_t& pattern, int32_t& flag) {
    const int32_t v = Decode(id);
    pattern = v >> 1;
    flag = v & 1;
  }

  template <class StoreA, class StoreB>
  void Codes(CodeRun a, CodeRun b, int count, StoreA, StoreB) {
    if (a.slot == nullptr || b.slot == nullptr || a.id == b.id) {
      const int words = (a.slot != nullptr) + (b.slot != nullptr);
      SkipWords(a.slot != nullptr ? a.id : b.id, count * words);
    } else {
      ReadPosition at = at_;
      const FastTable& ta = fast_.table[a.id];
      const FastTable& tb = fast_.table[b.id];
      for (int k = 0; k < count; ++k) {
        at.Decode(ring_, ta);
        at.Decode(ring_, tb);
      }
      at_ = at;
    }
  }
  template <class StoreA, class StoreB>
  void Fields(uint32_t widthA, uint32_t widthB, int count, StoreA, StoreB) {
    at_.SkipMany(ring_, (widthA + widthB) * static_cast<uint32_t>(count));
  }

 private:
  // `count` words of one table: as many whole words at a time as the run
  // table finds in the next bits, single lookups for the rest. The position
  // is copied in and out so the loop keeps it in registers.
  void SkipWords(TableId id, int count) {
    ReadPosition at = at_;
    const RunCode* run = fast_.run[id];
    const FastTable& single = fast_.table[id];
    while (count > 0) {
      const RunCode r = run[at.Peek() >> (32 - kRunBits)];
      if (r.words != 0 && r.words <= count) {
        at.Skip(ring_, r.bits);
        count -= r.words;
      } else {
        at.Decode(ring_, single);
        --count;
      }
    }
    at_ = at;
  }

  FrameDecoder& d_;
  const uint32_t* ring_;
  const FastTables& fast_;
  ReadPosition at_;
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

}  // namespace velkscan

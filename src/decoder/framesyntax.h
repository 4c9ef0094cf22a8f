// The two frame syntaxes, each written once and instantiated twice: with the
// reference lookups, keeping every decoded value, and with the direct-index
// lookups, keeping only what steers the syntax (resolutions, selection
// patterns, flags, escapes). Only the number of bits consumed leaves the
// decoder, so both instantiations must consume exactly the same bits.
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

// Linear scans of the prepared tables, each with the look-ahead the syntax
// names for it; everything decoded is stored.
struct ReferenceLookup {
  static constexpr bool kKeepValues = true;

  static int32_t Decode(FrameDecoder& d, const HuffmanEntry* table, TableId id) {
    switch (kCodeTables[id].depth) {
      case 14:
        return d.DecodeHuffman14(table);
      case 5:
        return d.DecodeHuffman5(table);
      default:
        return d.DecodeHuffman10(table);
    }
  }
  static int32_t Decode(FrameDecoder& d, TableId id) { return Decode(d, d.table[id], id); }
  static int32_t Sv7Sample(FrameDecoder& d, int set, int r) {
    return Decode(d, d.Sv7SampleTables[set][r], Sv7SampleTableId(set, r));
  }
  static int32_t Sv46Sample(FrameDecoder& d, int r) {
    return Decode(d, d.Sv46SampleTables[r], Sv46SampleTableId(r));
  }
  static void Split6(FrameDecoder& d, TableId id, int32_t& pattern, int32_t& flag) {
    d.DecodeHuffmanSplit6(d.table[id], pattern, flag);
  }
};

// One index into a direct table per code; values nothing reads are dropped.
struct FastLookup {
  static constexpr bool kKeepValues = false;

  static int32_t Decode(FrameDecoder& d, TableId id) { return d.DecodeFast(id); }
  static int32_t Sv7Sample(FrameDecoder& d, int set, int r) { return d.DecodeFast(Sv7SampleTableId(set, r)); }
  static int32_t Sv46Sample(FrameDecoder& d, int r) { return d.DecodeFast(Sv46SampleTableId(r)); }
  static void Split6(FrameDecoder& d, TableId id, int32_t& pattern, int32_t& flag) {
    const int32_t v = d.DecodeFast(id);
    pattern = v >> 1;
    flag = v & 1;
  }
};

// The last subband a frame codes; a maximum band beyond the arrays is held to
// them (the header reader rejects such headers; this guards direct callers).
inline int LastBand(const FrameDecoder& d) {
  return std::min(d.maxBand, kSubbands - 1);
}

// 36 fixed-width fields of r - 1 bits (r = 8..17).
template <class L>
void FixedWidthSamples(FrameDecoder& d, int32_t r, int32_t* out) {
  const uint32_t width = static_cast<uint32_t>(r - 1);
  if constexpr (L::kKeepValues) {
    const int32_t bias = (1 << (r - 2)) - 1;
    for (int k = 0; k < kSamplesPerSubband; ++k) out[k] = static_cast<int32_t>(d.ReadBits(width)) - bias;
  } else {
    d.SkipManyBits(width * kSamplesPerSubband);
  }
}

// ---------------------------------------------------------------------------
// Stream version 7 (and 23).

// The samples of one channel of one subband. False: the resolution lies
// outside -17..17 and the frame ends here.
template <class L>
bool Sv7ChannelSamples(FrameDecoder& d, int32_t r, int32_t* out) {
  if (r < -17 || r > 17) return false;
  if (r == -1) {
    if constexpr (L::kKeepValues) {
      for (int k = 0; k < kSamplesPerSubband; ++k) {
        const uint32_t w = d.NextNoise();
        out[k] = static_cast<int32_t>((w & 0xFF) + ((w >> 8) & 0xFF) + ((w >> 16) & 0xFF) + (w >> 24)) - 510;
      }
    }
    return true;
  }
  if (r <= 0) return true;  // 0 and -17..-2 carry no sample bits
  if (r >= 8) {
    FixedWidthSamples<L>(d, r, out);
    return true;
  }
  const int set = static_cast<int>(d.ReadBits(1));
  if (r == 1) {
    for (int g = 0; g < 12; ++g) {
      const int32_t v = L::Sv7Sample(d, set, 1);
      if constexpr (L::kKeepValues) {
        out[3 * g] = v % 3 - 1;
        out[3 * g + 1] = v / 3 % 3 - 1;
        out[3 * g + 2] = v / 9 - 1;
      }
    }
  } else if (r == 2) {
    for (int g = 0; g < 18; ++g) {
      const int32_t v = L::Sv7Sample(d, set, 2);
      if constexpr (L::kKeepValues) {
        out[2 * g] = v % 5 - 2;
        out[2 * g + 1] = v / 5 - 2;
      }
    }
  } else {
    for (int k = 0; k < kSamplesPerSubband; ++k) {
      const int32_t v = L::Sv7Sample(d, set, r);
      if constexpr (L::kKeepValues) out[k] = v;
    }
  }
  return true;
}

// Three scale-factor indexes of one channel; i2 becomes the reference.
template <class L>
void Sv7ScaleFactors(FrameDecoder& d, int32_t pattern, int32_t& ref, int32_t* index) {
  auto next = [&d](int32_t base) {
    const int32_t delta = L::Decode(d, Sv7ScfDeltaCode);
    return delta == 8 ? static_cast<int32_t>(d.ReadBits(6)) : base + delta;
  };
  int32_t i0 = next(ref), i1, i2;
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
  if constexpr (L::kKeepValues) {
    index[0] = i0;
    index[1] = i1;
    index[2] = i2;
    ref = i2;
  }
}

template <class L>
void ParseFrameSv7(FrameDecoder& d) {
  const bool midSide = d.midSide == 1;

  // Section 1: resolutions (differences, or escape 4 and a plain 4-bit
  // value) and mid/side flags.
  d.resL[0] = static_cast<int32_t>(d.ReadBits(4));
  d.resR[0] = static_cast<int32_t>(d.ReadBits(4));
  if (midSide && (d.resL[0] != 0 || d.resR[0] != 0)) d.msFlag[0] = static_cast<int32_t>(d.ReadBits(1));
  int maxUsedBand = 0;
  const int lastBand = LastBand(d);
  for (int n = 1; n <= lastBand; ++n) {
    int32_t delta = L::Decode(d, Sv7ResDeltaCode);
    d.resL[n] = delta == 4 ? static_cast<int32_t>(d.ReadBits(4)) : d.resL[n - 1] + delta;
    delta = L::Decode(d, Sv7ResDeltaCode);
    d.resR[n] = delta == 4 ? static_cast<int32_t>(d.ReadBits(4)) : d.resR[n - 1] + delta;
    if (d.resL[n] != 0 || d.resR[n] != 0) {
      if (midSide) d.msFlag[n] = static_cast<int32_t>(d.ReadBits(1));
      maxUsedBand = n;
    }
  }

  // Section 2: scale-factor selection patterns.
  for (int n = 0; n <= maxUsedBand; ++n) {
    if (d.resL[n] != 0) d.scfSelectL[n] = L::Decode(d, Sv7ScfSelectCode);
    if (d.resR[n] != 0) d.scfSelectR[n] = L::Decode(d, Sv7ScfSelectCode);
  }

  // Section 3: scale-factor indexes, left then right, band by band.
  for (int n = 0; n <= maxUsedBand; ++n) {
    if (d.resL[n] != 0) Sv7ScaleFactors<L>(d, d.scfSelectL[n], d.scfRefL[n], d.scfIndexL[n]);
    if (d.resR[n] != 0) Sv7ScaleFactors<L>(d, d.scfSelectR[n], d.scfRefR[n], d.scfIndexR[n]);
  }

  // Section 4: samples; a resolution outside -17..17 ends the frame.
  for (int n = 0; n <= maxUsedBand; ++n) {
    if (!Sv7ChannelSamples<L>(d, d.resL[n], d.samples[n].left)) return;
    if (!Sv7ChannelSamples<L>(d, d.resR[n], d.samples[n].right)) return;
  }
}

// ---------------------------------------------------------------------------
// Stream versions 4 to 6.

template <class L>
void Sv46ScaleFactors(FrameDecoder& d, int32_t pattern, int32_t differential, int32_t& ref, int32_t* index) {
  int32_t i0, i1, i2;
  if (differential != 0) {
    auto delta = [&d] { return L::Decode(d, Sv46ScfDeltaCode); };
    i0 = ref + delta();
    switch (pattern) {
      case 0:
        i1 = i0 + delta();
        i2 = i1 + delta();
        break;
      case 1:
        i1 = i0 + delta();
        i2 = i1;
        break;
      case 2:
        i1 = i0;
        i2 = i1 + delta();
        break;
      default:
        i1 = i2 = i0;
        break;
    }
  } else {
    auto field = [&d] { return static_cast<int32_t>(d.ReadBits(6)); };
    i0 = field();
    switch (pattern) {
      case 0:
        i1 = field();
        i2 = field();
        break;
      case 1:
        i1 = field();
        i2 = i1;
        break;
      case 2:
        i1 = i0;
        i2 = field();
        break;
      default:
        i1 = i2 = i0;
        break;
    }
  }
  if constexpr (L::kKeepValues) {
    index[0] = i0;
    index[1] = i1;
    index[2] = i2;
    ref = i2;
  }
}

inline TableId Sv46ResCodeFor(int band) {
  return band <= 10 ? Sv46ResCodeA : band <= 22 ? Sv46ResCodeB : Sv46ResCodeC;
}

template <class L>
void ParseFrameSv46(FrameDecoder& d) {
  const bool midSide = d.midSide == 1;

  // Section 1: each band's resolution index, coded on its own; the mid/side
  // bit sits between left and right for every band up to the maximum.
  int maxUsedBand = 0;
  const int lastBand = LastBand(d);
  for (int n = 0; n <= lastBand; ++n) {
    const TableId code = Sv46ResCodeFor(n);
    d.resL[n] = d.resolutionMap[n][L::Decode(d, code)];
    if (midSide) d.msFlag[n] = static_cast<int32_t>(d.ReadBits(1));
    d.resR[n] = d.resolutionMap[n][L::Decode(d, code)];
    if (d.resL[n] != 0 || d.resR[n] != 0) maxUsedBand = n;
  }

  // Section 2: selection pattern and differential flag per channel.
  for (int n = 0; n <= maxUsedBand; ++n) {
    if (d.resL[n] != 0) L::Split6(d, Sv46ScfSelectCode, d.scfSelectL[n], d.dscfFlagL[n]);
    if (d.resR[n] != 0) L::Split6(d, Sv46ScfSelectCode, d.scfSelectR[n], d.dscfFlagR[n]);
  }

  // Section 3: scale-factor indexes, left then right, band by band.
  for (int n = 0; n <= maxUsedBand; ++n) {
    if (d.resL[n] != 0) Sv46ScaleFactors<L>(d, d.scfSelectL[n], d.dscfFlagL[n], d.scfRefL[n], d.scfIndexL[n]);
    if (d.resR[n] != 0) Sv46ScaleFactors<L>(d, d.scfSelectR[n], d.dscfFlagR[n], d.scfRefR[n], d.scfIndexR[n]);
  }

  // Section 4: per band a coded pass (channels interleaved sample by sample)
  // and then a fixed-width pass.
  for (int n = 0; n <= maxUsedBand; ++n) {
    const int32_t rl = d.resL[n], rr = d.resR[n];
    const bool codedL = rl >= 1 && rl <= 7, codedR = rr >= 1 && rr <= 7;
    SampleBand& band = d.samples[n];
    if (codedL || codedR) {
      for (int k = 0; k < kSamplesPerSubband; ++k) {
        if (codedL) {
          const int32_t v = L::Sv46Sample(d, rl);
          if constexpr (L::kKeepValues) band.left[k] = v;
        }
        if (codedR) {
          const int32_t v = L::Sv46Sample(d, rr);
          if constexpr (L::kKeepValues) band.right[k] = v;
        }
      }
    }
    const bool fixedL = rl > 7, fixedR = rr > 7;
    if constexpr (L::kKeepValues) {
      for (int k = 0; k < kSamplesPerSubband && (fixedL || fixedR); ++k) {
        if (fixedL) band.left[k] = static_cast<int32_t>(d.ReadBits(rl - 1)) - ((1 << (rl - 2)) - 1);
        if (fixedR) band.right[k] = static_cast<int32_t>(d.ReadBits(rr - 1)) - ((1 << (rr - 2)) - 1);
      }
    } else {
      const uint32_t bits = (fixedL ? rl - 1 : 0) + (fixedR ? rr - 1 : 0);
      d.SkipManyBits(bits * kSamplesPerSubband);
    }
  }
}

}  // namespace velkscan

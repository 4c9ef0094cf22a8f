// The reference frame syntaxes: what the checking path is measured and
// tested against.
//
// This is the first writing of the frame syntax, as plain as it can be: it
// reads through the decoder's own bit reader and the linear table scans, and
// keeps every value it decodes (resolutions, scale-factor indexes, samples)
// in the decoder's band arrays. The checking path (checkingsyntax.h) is a
// second writing that keeps only what steers the syntax. Only the number of
// bits a frame consumes leaves the decoder, so the two must consume exactly
// the same bits. What holds them to it: the frame tests (FrameWalk.* in
// tests/decoder/framedecoder_test.cpp, each element of the syntax on both
// paths), the generator's round trips (RoundTrip.* in tests/generator, every
// version and profile on both paths), and fuzz/fuzz_framewalk.cpp, which
// walks arbitrary bytes on both side by side.
#include "decoder/referencesyntax.h"

namespace velkscan {

namespace {

// Sample value of a fixed-width field of a coded resolution above
// kMaxCodedResolution.
int32_t FixedWidthSample(uint32_t field, int32_t resolution) {
  return static_cast<int32_t>(field) - ((1 << (resolution - 2)) - 1);
}

// The three scale-factor indexes of a selection pattern (see
// kScaleFactorsOfPattern): 1 repeats the second for the third, 2 the first
// for the second, 3 the first for both. The third becomes the channel's
// reference for the next frame.
template <class Next>
void ScaleFactorIndexes(int32_t pattern, Next next, int32_t& ref, int32_t* index) {
  const int32_t i0 = next(ref);
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
  index[0] = i0;
  index[1] = i1;
  index[2] = i2;
  ref = i2;
}

// ---------------------------------------------------------------------------
// Stream version 7 (and 23).

// The samples of one channel of one subband. False: the resolution lies
// outside -kMaxResolution..kMaxResolution and the frame ends here.
bool Sv7ChannelSamples(FrameDecoder& d, int32_t res, int32_t* out) {
  if (res < -kMaxResolution || res > kMaxResolution) return false;
  if (res == -1) {  // noise: no sample bits
    for (int k = 0; k < kSamplesPerSubband; ++k) {
      const uint32_t w = d.NextNoise();
      out[k] = static_cast<int32_t>((w & 0xFF) + ((w >> 8) & 0xFF) + ((w >> 16) & 0xFF) + (w >> 24)) - 510;
    }
    return true;
  }
  if (res <= 0) return true;  // 0 and the other negative ones carry no sample bits
  if (!IsCodedResolution(res)) {
    for (int k = 0; k < kSamplesPerSubband; ++k)
      out[k] = FixedWidthSample(d.ReadBits(FieldBitsOfResolution(res)), res);
    return true;
  }
  const TableId id = Sv7SampleTableId(static_cast<int>(d.ReadBits(1)), res);
  const int words = static_cast<int>(Sv7SampleWords(res));
  for (int g = 0; g < words; ++g) {
    const int32_t v = d.Decode(id);
    if (res == 1) {  // three samples of -1..1
      out[3 * g] = v % 3 - 1;
      out[3 * g + 1] = v / 3 % 3 - 1;
      out[3 * g + 2] = v / 9 - 1;
    } else if (res == 2) {  // two samples of -2..2
      out[2 * g] = v % 5 - 2;
      out[2 * g + 1] = v / 5 - 2;
    } else {
      out[g] = v;
    }
  }
  return true;
}

// Version 7: each index a difference from the one before (the first from the
// reference), or the escape and a plain index.
void Sv7ScaleFactors(FrameDecoder& d, int32_t pattern, int32_t& ref, int32_t* index) {
  auto next = [&d](int32_t base) {
    const int32_t delta = d.Decode(Sv7ScfDeltaCode);
    return delta == kSv7ScfEscape ? static_cast<int32_t>(d.ReadBits(kScfIndexBits)) : base + delta;
  };
  ScaleFactorIndexes(pattern, next, ref, index);
}

// A band's resolution: a difference from the band before, or the escape
// and a plain value.
int32_t Sv7Resolution(FrameDecoder& d, int32_t before) {
  const int32_t delta = d.Decode(Sv7ResDeltaCode);
  return delta == kSv7ResEscape ? static_cast<int32_t>(d.ReadBits(kResolutionFieldBits)) : before + delta;
}

}  // namespace

void ParseFrameSv7(FrameDecoder& d) {
  const bool midSide = d.midSide == 1;

  // Section 1: resolutions and mid/side flags.
  d.resL[0] = static_cast<int32_t>(d.ReadBits(kResolutionFieldBits));
  d.resR[0] = static_cast<int32_t>(d.ReadBits(kResolutionFieldBits));
  if (midSide && (d.resL[0] != 0 || d.resR[0] != 0)) d.msFlag[0] = static_cast<int32_t>(d.ReadBits(1));
  int maxUsedBand = 0;
  const int lastBand = d.LastBand();
  for (int n = 1; n <= lastBand; ++n) {
    d.resL[n] = Sv7Resolution(d, d.resL[n - 1]);
    d.resR[n] = Sv7Resolution(d, d.resR[n - 1]);
    if (d.resL[n] != 0 || d.resR[n] != 0) {
      if (midSide) d.msFlag[n] = static_cast<int32_t>(d.ReadBits(1));
      maxUsedBand = n;
    }
  }

  // Section 2: scale-factor selection patterns.
  for (int n = 0; n <= maxUsedBand; ++n) {
    if (d.resL[n] != 0) d.scfSelectL[n] = d.Decode(Sv7ScfSelectCode);
    if (d.resR[n] != 0) d.scfSelectR[n] = d.Decode(Sv7ScfSelectCode);
  }

  // Section 3: scale-factor indexes, left then right, band by band.
  for (int n = 0; n <= maxUsedBand; ++n) {
    if (d.resL[n] != 0) Sv7ScaleFactors(d, d.scfSelectL[n], d.scfRefL[n], d.scfIndexL[n]);
    if (d.resR[n] != 0) Sv7ScaleFactors(d, d.scfSelectR[n], d.scfRefR[n], d.scfIndexR[n]);
  }

  // Section 4: samples; a resolution out of range ends the frame.
  for (int n = 0; n <= maxUsedBand; ++n) {
    if (!Sv7ChannelSamples(d, d.resL[n], d.samples[n].left)) return;
    if (!Sv7ChannelSamples(d, d.resR[n], d.samples[n].right)) return;
  }
}

// ---------------------------------------------------------------------------
// Stream versions 4 to 6.

namespace {

// Versions 4 to 6: differences (the first from the reference) when the
// differential flag is set, plain indexes otherwise.
void Sv46ScaleFactors(FrameDecoder& d, int32_t pattern, int32_t differential, int32_t& ref, int32_t* index) {
  auto next = [&d, differential](int32_t base) {
    return differential != 0 ? base + d.Decode(Sv46ScfDeltaCode)
                             : static_cast<int32_t>(d.ReadBits(kScfIndexBits));
  };
  ScaleFactorIndexes(pattern, next, ref, index);
}

// A channel's selection code: the pattern, then the differential flag in
// its lowest bit.
void Sv46Selection(FrameDecoder& d, int32_t& pattern, int32_t& differential) {
  const int32_t v = d.Decode(Sv46ScfSelectCode);
  pattern = v >> 1;
  differential = v & 1;
}

}  // namespace

void ParseFrameSv46(FrameDecoder& d) {
  const bool midSide = d.midSide == 1;

  // Section 1: each band's resolution index, coded on its own; the mid/side
  // bit sits between left and right for every band up to the maximum.
  int maxUsedBand = 0;
  const int lastBand = d.LastBand();
  for (int n = 0; n <= lastBand; ++n) {
    const TableId code = Sv46ResCodeFor(n);
    d.resL[n] = d.resolutionMap[n][d.Decode(code)];
    if (midSide) d.msFlag[n] = static_cast<int32_t>(d.ReadBits(1));
    d.resR[n] = d.resolutionMap[n][d.Decode(code)];
    if (d.resL[n] != 0 || d.resR[n] != 0) maxUsedBand = n;
  }

  // Section 2: selection pattern and differential flag per channel.
  for (int n = 0; n <= maxUsedBand; ++n) {
    if (d.resL[n] != 0) Sv46Selection(d, d.scfSelectL[n], d.dscfFlagL[n]);
    if (d.resR[n] != 0) Sv46Selection(d, d.scfSelectR[n], d.dscfFlagR[n]);
  }

  // Section 3: scale-factor indexes, left then right, band by band.
  for (int n = 0; n <= maxUsedBand; ++n) {
    if (d.resL[n] != 0) Sv46ScaleFactors(d, d.scfSelectL[n], d.dscfFlagL[n], d.scfRefL[n], d.scfIndexL[n]);
    if (d.resR[n] != 0) Sv46ScaleFactors(d, d.scfSelectR[n], d.dscfFlagR[n], d.scfRefR[n], d.scfIndexR[n]);
  }

  // Section 4: per band a coded pass (channels interleaved sample by sample)
  // and then a fixed-width pass.
  for (int n = 0; n <= maxUsedBand; ++n) {
    const int32_t rl = d.resL[n], rr = d.resR[n];
    SampleBand& band = d.samples[n];
    const bool codedL = IsCodedResolution(rl), codedR = IsCodedResolution(rr);
    for (int k = 0; k < kSamplesPerSubband && (codedL || codedR); ++k) {
      if (codedL) band.left[k] = d.Decode(Sv46SampleTableId(rl));
      if (codedR) band.right[k] = d.Decode(Sv46SampleTableId(rr));
    }
    const uint32_t widthL = FieldBitsOfResolution(rl), widthR = FieldBitsOfResolution(rr);
    for (int k = 0; k < kSamplesPerSubband && (widthL != 0 || widthR != 0); ++k) {
      if (widthL != 0) band.left[k] = FixedWidthSample(d.ReadBits(widthL), rl);
      if (widthR != 0) band.right[k] = FixedWidthSample(d.ReadBits(widthR), rr);
    }
  }
}

}  // namespace velkscan

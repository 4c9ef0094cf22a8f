// The frame check over hand-laid frames of both syntaxes: what each element
// costs in bits, where a frame ends, and what the check reports.
#include "decoder/framedecoder.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/memorystream.h"
#include "velkgen/bitwriter.h"

namespace velkscan {
namespace {

using gen::BitWriter;

// The code word of `value` in a table, as '0'/'1' characters.
std::string CodeFor(TableId id, int32_t value) {
  std::string result;
  int32_t k = -kCodeTables[id].offset;
  ForEachCodeWord(kCodeTables[id].codes, [&](CodeWord w) {
    if (k++ == value)
      for (uint32_t i = w.length; i-- > 0;) result += ((w.code >> i) & 1) ? '1' : '0';
  });
  EXPECT_FALSE(result.empty()) << kCodeTables[id].name << " has no value " << value;
  return result;
}

std::string Repeat(const std::string& s, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += s;
  return out;
}

// A stream of frames behind a header of the given version: everything
// before the first frame is zeros except what the decoder never reads.
struct Stream {
  int32_t version = 7;
  int32_t maxBand = 0;
  int32_t midSide = 0;
  BitWriter bits;
  uint32_t frames = 0;

  explicit Stream(int32_t v, int32_t band = 0, int32_t ms = 0) : version(v), maxBand(band), midSide(ms) {
    // Bits before the first frame: 24 bytes + 8 bits (v7), 8 bytes (v5/v6),
    // 4 bytes + 16 bits (v4).
    const uint32_t lead = version == 4 ? 48 : (version == 5 || version == 6) ? 64 : 200;
    for (uint32_t i = 0; i < lead / 32; ++i) bits.Put(0, 32);
    bits.Put(0, lead % 32);
  }
  // Appends a frame whose length field declares the body's true length
  // plus `lengthError`.
  Stream& Frame(const BitWriter& body, int32_t lengthError = 0) {
    bits.Put(static_cast<uint32_t>(static_cast<int64_t>(body.Position()) + lengthError), 20).Append(body);
    ++frames;
    return *this;
  }
};

struct Check {
  explicit Check(const Stream& s, uint32_t frameCount, std::vector<uint8_t> bytes = {})
      : stream(bytes.empty() ? PadToWords(s.bits) : std::move(bytes)),
        d(std::make_unique<FrameDecoder>(stream)) {
    StreamInfo info{};
    info.streamVersion = static_cast<uint32_t>(s.version);
    info.maxBand = static_cast<uint32_t>(s.maxBand);
    info.midSide = static_cast<uint32_t>(s.midSide);
    info.frameCount = frameCount;
    info.fileLength = static_cast<int32_t>(stream.Seek(0, kFromEnd));
    d->ResetDecoder();
    d->Configure(info);
    d->SeekFirstFrame();
  }
  static std::vector<uint8_t> PadToWords(const BitWriter& w) {
    BitWriter copy;
    copy.Append(w);
    return copy.Bytes();
  }
  // One step as the scan worker takes it.
  uint32_t Step(bool reference = false) {
    const FrameResult r = reference ? d->CheckNextFrameReference() : d->CheckNextFrame();
    return r == FrameResult::kEndOfFrames ? 0 : d->framesDecoded;
  }
  MemoryStream stream;
  std::unique_ptr<FrameDecoder> d;
};

// The frame body's bit count as the check measures it, on both paths; they
// must agree, and the frame must pass exactly with that length.
uint64_t MeasuredBits(const Stream& proto, const BitWriter& body) {
  uint64_t measured[2] = {0, 0};
  for (int reference = 0; reference < 2; ++reference) {
    Stream s = proto;
    s.Frame(body, 1 << 19);  // a length no body here has: the check fails, the parse runs
    Check c(s, 1);
    const uint32_t before = c.d->BitsConsumed();
    c.Step(reference == 1);
    measured[reference] = c.d->BitsConsumed() - before - 20;
  }
  EXPECT_EQ(measured[0], measured[1]) << "fast and reference paths consumed different bits";
  return measured[0];
}

// ---------------------------------------------------------------------------
// The check's results.

BitWriter SimpleSv7Body() {  // both resolutions 0 in band 0: 8 bits
  BitWriter b;
  b.Put(0, 8);
  return b;
}

TEST(FrameCheck, AllFramesPassThenZeroWithFrameOkStillOne) {
  for (bool reference : {false, true}) {
    Stream s(7);
    for (int i = 0; i < 3; ++i) s.Frame(SimpleSv7Body());
    Check c(s, 3);
    EXPECT_EQ(c.Step(reference), 1u);
    EXPECT_EQ(c.Step(reference), 2u);
    EXPECT_EQ(c.Step(reference), 3u);
    EXPECT_EQ(c.d->frameOk, 1);
    const uint32_t consumed = c.d->BitsConsumed();
    EXPECT_EQ(c.Step(reference), 0u);
    EXPECT_EQ(c.d->frameOk, 1);
    EXPECT_EQ(c.d->BitsConsumed(), consumed);  // nothing read once all frames passed
  }
}

TEST(FrameCheck, FrameCountZeroReadsNothingAndLeavesFrameOkZero) {
  Stream s(7);
  s.Frame(SimpleSv7Body());
  Check c(s, 0);
  EXPECT_EQ(c.Step(), 0u);
  EXPECT_EQ(c.d->frameOk, 0);
  EXPECT_EQ(c.d->BitsConsumed(), 8u);
}

TEST(FrameCheck, FirstFrameFailing) {
  for (int error : {-1, 1}) {
    Stream s(7);
    s.Frame(SimpleSv7Body(), error);
    Check c(s, 5);
    EXPECT_EQ(c.Step(), 0u);
    EXPECT_EQ(c.d->frameOk, 0);
    EXPECT_EQ(c.d->framesDecoded, 0u);
  }
}

TEST(FrameCheck, FailureAfterSomeGoodFramesReturnsTheirCount) {
  Stream s(6);
  BitWriter zeros;  // band 0 both index 0 ("010" each): 6 bits
  zeros.Code(CodeFor(Sv46ResCodeA, 0)).Code(CodeFor(Sv46ResCodeA, 0));
  for (int i = 0; i < 4; ++i) s.Frame(zeros);
  s.Frame(zeros, 3);
  Check c(s, 9);
  for (uint32_t i = 1; i <= 4; ++i) EXPECT_EQ(c.Step(), i);
  EXPECT_EQ(c.Step(), 4u);
  EXPECT_EQ(c.d->frameOk, 0);
  EXPECT_EQ(c.d->framesDecoded, 4u);
}

TEST(FrameCheck, LengthFieldZeroAlwaysFails) {
  for (int32_t version : {4, 5, 6, 7, 23}) {
    Stream s(version);
    BitWriter empty;
    s.Frame(empty);
    Check c(s, 1);
    EXPECT_EQ(c.Step(), 0u) << version;
    EXPECT_EQ(c.d->frameOk, 0) << version;
  }
}

TEST(FrameCheck, Version23DecodesAsVersion7) {
  BitWriter body;
  body.Put(1, 4).Put(0, 4).Code(CodeFor(Sv7ScfSelectCode, 3)).Code(CodeFor(Sv7ScfDeltaCode, 0));
  body.Put(1, 1).Code(Repeat(CodeFor(Sv7SampleCodeSet1Res1, 13), 12));
  Stream s7(7), s23(23);
  EXPECT_EQ(MeasuredBits(s7, body), body.Position());
  EXPECT_EQ(MeasuredBits(s23, body), body.Position());
}

TEST(FrameCheck, UnparsedVersionConsumesTheLengthFieldOnly) {
  for (int32_t version : {0, 8, 0x27}) {
    Stream s(7);
    s.version = version;
    s.Frame(SimpleSv7Body());
    Check c(s, 3);
    // SeekFirstFrame did nothing for such a version; set the reader as for 7.
    c.d->frameOk = 1;
    const uint32_t before = c.d->BitsConsumed();
    EXPECT_EQ(c.d->DecodeFrame(), 0u);
    EXPECT_EQ(c.d->BitsConsumed() - before, 20u);
    EXPECT_EQ(c.d->frameOk, 1);
    EXPECT_EQ(c.d->framesDecoded, 0u);
  }
}

// ---------------------------------------------------------------------------
// Stream version 7: what each element costs.

TEST(Sv7Syntax, MaxBandZeroReadsTwoResolutionsAndOneMidSideBit) {
  BitWriter body;
  body.Put(3, 4).Put(0, 4).Put(1, 1);  // res L 3, R 0, mid/side bit
  body.Code(CodeFor(Sv7ScfSelectCode, 3)).Code(CodeFor(Sv7ScfDeltaCode, 0));
  body.Put(0, 1).Code(Repeat(CodeFor(Sv7SampleCodeSet0Res3, 0), 36));
  EXPECT_EQ(MeasuredBits(Stream(7, 0, 1), body), body.Position());
  // Without mid/side the flag bit is not there.
  BitWriter noMs;
  noMs.Put(3, 4).Put(0, 4).Code(CodeFor(Sv7ScfSelectCode, 3)).Code(CodeFor(Sv7ScfDeltaCode, 0));
  noMs.Put(0, 1).Code(Repeat(CodeFor(Sv7SampleCodeSet0Res3, 0), 36));
  EXPECT_EQ(MeasuredBits(Stream(7, 0, 0), noMs), noMs.Position());
}

TEST(Sv7Syntax, BandWithBothResolutionsZeroHasNoMidSideBit) {
  BitWriter body;
  body.Put(0, 8);                                                            // band 0: 0, 0; no flag
  body.Code(CodeFor(Sv7ResDeltaCode, 0)).Code(CodeFor(Sv7ResDeltaCode, 0));  // band 1: 0, 0; no flag
  EXPECT_EQ(MeasuredBits(Stream(7, 1, 1), body), body.Position());
}

TEST(Sv7Syntax, EscapeReplacesTheDifferenceWithAPlainResolution) {
  // Band 0 left 2; band 1 left escape -> 15 (not 2 + 4), right 0.
  BitWriter body;
  body.Put(2, 4).Put(0, 4);
  body.Code(CodeFor(Sv7ResDeltaCode, 4)).Put(15, 4).Code(CodeFor(Sv7ResDeltaCode, 0));
  for (int band = 0; band < 2; ++band) body.Code(CodeFor(Sv7ScfSelectCode, 3));
  for (int band = 0; band < 2; ++band) body.Code(CodeFor(Sv7ScfDeltaCode, 1));
  body.Put(0, 1).Code(Repeat(CodeFor(Sv7SampleCodeSet0Res2, 12), 18));  // band 0, res 2
  body.Put(0, 36 * 14);                                                 // band 1, res 15: 14-bit fields
  EXPECT_EQ(MeasuredBits(Stream(7, 1), body), body.Position());
}

TEST(Sv7Syntax, ResolutionBeyondSeventeenEndsTheParseWhenSamplesReachIt) {
  // Band 0: left 15 -> band 1 left 15 + 3 = 18; right 2 in both bands.
  BitWriter body;
  body.Put(15, 4).Put(2, 4);
  body.Code(CodeFor(Sv7ResDeltaCode, 3)).Code(CodeFor(Sv7ResDeltaCode, 0));
  // Sections 2 and 3 still run for band 1.
  for (int i = 0; i < 4; ++i) body.Code(CodeFor(Sv7ScfSelectCode, 3));
  for (int i = 0; i < 4; ++i) body.Code(CodeFor(Sv7ScfDeltaCode, 0));
  body.Put(0, 36 * 14);                                                 // band 0 left: res 15
  body.Put(1, 1).Code(Repeat(CodeFor(Sv7SampleCodeSet1Res2, 12), 18));  // band 0 right: res 2
  // Band 1 left is 18: nothing more, not even band 1's right samples.
  EXPECT_EQ(MeasuredBits(Stream(7, 1), body), body.Position());
}

TEST(Sv7Syntax, NegativeResolutionsHaveScaleFactorsButNoSampleBits) {
  // Band 0 left 0, right 0; band 1 left -1 (noise), right -5 -5 -5 -2 = ...
  for (int32_t target : {-1, -2, -5, -17}) {
    SCOPED_TRACE(target);
    BitWriter body;
    body.Put(0, 8);
    // Reach `target` on the left by differences of at most -5.
    BitWriter chain;
    int32_t res = 0;
    int bands = 0;
    while (res != target) {
      const int32_t step = std::max(-5, target - res);
      ++bands;
      res += step;
      chain.Code(CodeFor(Sv7ResDeltaCode, step)).Code(CodeFor(Sv7ResDeltaCode, 0));
    }
    body.Append(chain);
    // Every band 1..bands has a non-zero left resolution.
    for (int b = 0; b < bands; ++b) body.Code(CodeFor(Sv7ScfSelectCode, 0));
    for (int b = 0; b < bands; ++b)
      body.Code(CodeFor(Sv7ScfDeltaCode, 8))
          .Put(63, 6)
          .Code(CodeFor(Sv7ScfDeltaCode, -7))
          .Code(CodeFor(Sv7ScfDeltaCode, 7));
    EXPECT_EQ(MeasuredBits(Stream(7, bands), body), body.Position());
  }
}

TEST(Sv7Syntax, BandZeroIsCoveredEvenWhenNoHigherBandIsUsed) {
  BitWriter body;
  body.Put(0, 4).Put(4, 4);  // band 0: right 4
  for (int band = 1; band <= 5; ++band)
    body.Code(CodeFor(Sv7ResDeltaCode, 0)).Code(CodeFor(Sv7ResDeltaCode, -4));
  // bands 1..5: left 0, right 4 - 4 = 0 for band 1, then -4, ... : only band 1 has both zero
  EXPECT_GT(MeasuredBits(Stream(7, 5), body), 0u);
  BitWriter quiet;
  quiet.Put(0, 4).Put(3, 4);  // band 0 right 3; bands 1..3 all zero
  for (int band = 1; band <= 3; ++band)
    quiet.Code(CodeFor(Sv7ResDeltaCode, 0)).Code(CodeFor(Sv7ResDeltaCode, band == 1 ? -3 : 0));
  quiet.Code(CodeFor(Sv7ScfSelectCode, 1))
      .Code(CodeFor(Sv7ScfDeltaCode, 2))
      .Code(CodeFor(Sv7ScfDeltaCode, -2));
  quiet.Put(1, 1).Code(Repeat(CodeFor(Sv7SampleCodeSet1Res3, -3), 36));
  EXPECT_EQ(MeasuredBits(Stream(7, 3), quiet), quiet.Position());
}

TEST(Sv7Syntax, ScaleFactorPatternsCostOneToThreeCodes) {
  for (int pattern = 0; pattern < 4; ++pattern) {
    SCOPED_TRACE(pattern);
    const int codes[] = {3, 2, 2, 1};
    BitWriter body;
    body.Put(8, 4).Put(0, 4).Code(CodeFor(Sv7ScfSelectCode, pattern));
    for (int i = 0; i < codes[pattern]; ++i)
      body.Code(CodeFor(Sv7ScfDeltaCode, i == 0 ? 8 : -6)).Put(i == 0 ? 40 : 0, i == 0 ? 6 : 0);
    body.Put(0x55, 36 * 7);  // res 8: 36 fields of 7 bits
    EXPECT_EQ(MeasuredBits(Stream(7, 0), body), body.Position());
  }
}

TEST(Sv7Syntax, ReferencePathReconstructsValues) {
  Stream s(7, 1);
  BitWriter body;
  body.Put(1, 4).Put(2, 4);                                                             // band 0: L 1, R 2
  body.Code(CodeFor(Sv7ResDeltaCode, -1)).Code(CodeFor(Sv7ResDeltaCode, 4)).Put(9, 4);  // band 1: L 0, R 9
  body.Code(CodeFor(Sv7ScfSelectCode, 0))
      .Code(CodeFor(Sv7ScfSelectCode, 3))
      .Code(CodeFor(Sv7ScfSelectCode, 2));
  body.Code(CodeFor(Sv7ScfDeltaCode, 5))
      .Code(CodeFor(Sv7ScfDeltaCode, 8))
      .Put(50, 6)
      .Code(CodeFor(Sv7ScfDeltaCode, -3));
  body.Code(CodeFor(Sv7ScfDeltaCode, -7));
  body.Code(CodeFor(Sv7ScfDeltaCode, 2)).Code(CodeFor(Sv7ScfDeltaCode, 1));
  body.Put(0, 1).Code(CodeFor(Sv7SampleCodeSet0Res1, 5)).Code(Repeat(CodeFor(Sv7SampleCodeSet0Res1, 13), 11));
  body.Put(1, 1)
      .Code(CodeFor(Sv7SampleCodeSet1Res2, 23))
      .Code(Repeat(CodeFor(Sv7SampleCodeSet1Res2, 12), 17));
  body.Put(0x0FF, 8).Put(0, 35 * 8);  // band 1 right, res 9: 8-bit fields, bias 127
  s.Frame(body);
  Check c(s, 1);
  ASSERT_EQ(c.Step(true), 1u);
  const FrameDecoder& d = *c.d;
  EXPECT_EQ(d.resL[1], 0);
  EXPECT_EQ(d.resR[1], 9);
  EXPECT_EQ(std::vector<int32_t>(d.scfIndexL[0], d.scfIndexL[0] + 3), (std::vector<int32_t>{5, 50, 47}));
  EXPECT_EQ(std::vector<int32_t>(d.scfIndexR[0], d.scfIndexR[0] + 3), (std::vector<int32_t>{-7, -7, -7}));
  EXPECT_EQ(std::vector<int32_t>(d.scfIndexR[1], d.scfIndexR[1] + 3), (std::vector<int32_t>{2, 2, 3}));
  EXPECT_EQ(d.scfRefL[0], 47);
  // Group 5 = (5 mod 3) - 1, (5 div 3 mod 3) - 1, (5 div 9) - 1.
  EXPECT_EQ(d.samples[0].left[0], 1);
  EXPECT_EQ(d.samples[0].left[1], 0);
  EXPECT_EQ(d.samples[0].left[2], -1);
  EXPECT_EQ(d.samples[0].left[3], 0);  // group 13: 0, 0, 0
  // Group 23 = (23 mod 5) - 2, (23 div 5) - 2.
  EXPECT_EQ(d.samples[0].right[0], 1);
  EXPECT_EQ(d.samples[0].right[1], 2);
  EXPECT_EQ(d.samples[1].right[0], 255 - 127);
  EXPECT_EQ(d.samples[1].right[1], -127);
}

// ---------------------------------------------------------------------------
// Stream versions 4 to 6.

TEST(Sv46Syntax, EveryBandCarriesTwoResolutionCodesAndAMidSideBit) {
  for (int32_t version : {4, 5, 6}) {
    BitWriter body;
    for (int band = 0; band <= 31; ++band) {
      const TableId code = band <= 10 ? Sv46ResCodeA : band <= 22 ? Sv46ResCodeB : Sv46ResCodeC;
      body.Code(CodeFor(code, 0)).Put(1, 1).Code(CodeFor(code, 0));
    }
    EXPECT_EQ(MeasuredBits(Stream(version, 31, 1), body), body.Position()) << version;
  }
}

TEST(Sv46Syntax, HighestIndexMeansResolutionSeventeen) {
  BitWriter body;
  body.Code(CodeFor(Sv46ResCodeA, 15)).Code(CodeFor(Sv46ResCodeA, 15));
  body.Code(CodeFor(Sv46ScfSelectCode, 6)).Code(CodeFor(Sv46ScfSelectCode, 6));  // pattern 3, plain
  body.Put(1, 6).Put(2, 6);
  body.Put(0, 36 * 32);  // two channels of 16-bit fields
  EXPECT_EQ(MeasuredBits(Stream(5, 0), body), body.Position());
}

TEST(Sv46Syntax, CodedSamplesComeBeforeFixedWidthFieldsOfTheOtherChannel) {
  BitWriter body;
  body.Code(CodeFor(Sv46ResCodeA, 9)).Code(CodeFor(Sv46ResCodeA, 2));
  body.Code(CodeFor(Sv46ScfSelectCode, 7))
      .Code(CodeFor(Sv46ScfSelectCode, 1));  // pattern 3 diff, pattern 0 diff
  body.Code(CodeFor(Sv46ScfDeltaCode, 3));
  for (int i = 0; i < 3; ++i) body.Code(CodeFor(Sv46ScfDeltaCode, -6));
  body.Code(Repeat(CodeFor(Sv46SampleCodeRes2, -2), 36));  // right, coded
  for (int k = 0; k < 36; ++k) body.Put(0xAB, 8);          // left, 8-bit fields
  EXPECT_EQ(MeasuredBits(Stream(6, 0), body), body.Position());

  Stream s(6, 0);
  s.Frame(body);
  Check c(s, 1);
  ASSERT_EQ(c.Step(true), 1u);
  EXPECT_EQ(c.d->samples[0].right[35], -2);
  EXPECT_EQ(c.d->samples[0].left[0], 0xAB - 127);  // res 9: bias 2^7 - 1
}

TEST(Sv46Syntax, ScaleFactorFlagAndPatternDecideTheBits) {
  struct Case {
    int32_t selectValue;  // (pattern << 1) | differential
    int deltas;
    int fields;
  };
  for (const Case& k : {Case{0, 0, 3}, Case{1, 3, 0}, Case{2, 0, 2}, Case{3, 2, 0}, Case{4, 0, 2},
                        Case{5, 2, 0}, Case{6, 0, 1}, Case{7, 1, 0}}) {
    SCOPED_TRACE(k.selectValue);
    BitWriter body;
    body.Code(CodeFor(Sv46ResCodeA, 1)).Code(CodeFor(Sv46ResCodeA, 0));
    body.Code(CodeFor(Sv46ScfSelectCode, k.selectValue));
    for (int i = 0; i < k.deltas; ++i) body.Code(CodeFor(Sv46ScfDeltaCode, 6));
    for (int i = 0; i < k.fields; ++i) body.Put(33, 6);
    body.Code(Repeat(CodeFor(Sv46SampleCodeRes1, 1), 36));
    EXPECT_EQ(MeasuredBits(Stream(4, 0), body), body.Position());
  }
}

TEST(Sv46Syntax, AllZeroFrameIsSectionOneAlone) {
  BitWriter body;
  for (int band = 0; band <= 12; ++band) {
    const TableId code = band <= 10 ? Sv46ResCodeA : Sv46ResCodeB;
    body.Code(CodeFor(code, 0)).Code(CodeFor(code, 0));
  }
  EXPECT_EQ(MeasuredBits(Stream(6, 12), body), body.Position());
}

// ---------------------------------------------------------------------------
// The end of the file.

// A frame whose last fixed-width fields are zero: decoded from the cleared
// (or stale) ring past the end of a truncated file, it would still measure
// its declared length.
Stream FramesEndingInZeroFields(int frames) {
  Stream s(7);
  for (int i = 0; i < frames; ++i) {
    BitWriter body;
    body.Put(8, 4).Put(0, 4).Code(CodeFor(Sv7ScfSelectCode, 3)).Code(CodeFor(Sv7ScfDeltaCode, 0));
    body.Put(0, 36 * 7);
    s.Frame(body);
  }
  return s;
}

TEST(EndOfFile, FrameReachingPastTheEndFailsEvenWhenItsLengthMatches) {
  Stream s = FramesEndingInZeroFields(3);
  std::vector<uint8_t> whole = Check::PadToWords(s.bits);
  {
    Check c(s, 3, whole);
    for (uint32_t i = 1; i <= 3; ++i) EXPECT_EQ(c.Step(), i);
  }
  // Cut the file inside the last frame's zero fields: the cleared ring
  // would supply the missing zeros.
  std::vector<uint8_t> cut(whole.begin(), whole.end() - 8);
  for (bool reference : {false, true}) {
    Check c(s, 3, cut);
    EXPECT_EQ(c.Step(reference), 1u);
    EXPECT_EQ(c.Step(reference), 2u);
    EXPECT_EQ(c.Step(reference), 2u);
    EXPECT_EQ(c.d->frameOk, 0);
  }
}

TEST(EndOfFile, LastWordHeldOnlyInPartCountsAsMissing) {
  Stream s = FramesEndingInZeroFields(1);
  std::vector<uint8_t> whole = Check::PadToWords(s.bits);
  // The frame ends in the last word; take away that word's last byte.
  std::vector<uint8_t> cut(whole.begin(), whole.end() - 1);
  Check c(s, 1, cut);
  EXPECT_EQ(c.Step(), 0u);
  EXPECT_EQ(c.d->frameOk, 0);
}

}  // namespace
}  // namespace velkscan

// The frame check over frames laid out bit by bit, apart from the generator: what each
// element costs, the values the reference path keeps, why and where a walk stops.
#include "decoder/framedecoder.h"

#include <gtest/gtest.h>

#include <bit>
#include <functional>
#include <memory>
#include <string>

#include "support/memorystream.h"
#include "velkgen/bitwriter.h"

namespace velkscan {
namespace {

using gen::BitWriter;
using R = FrameResult;

// The code word of `value` in a table, as '0'/'1' characters.
std::string CodeFor(TableId id, int32_t value, int times = 1) {
  std::string word;
  int32_t k = -kCodeTables[id].offset;
  ForEachCodeWord(kCodeTables[id].codes, [&](CodeWord w) {
    if (k++ == value)
      for (uint32_t i = w.length; i-- > 0;) word += ((w.code >> i) & 1) ? '1' : '0';
  });
  EXPECT_FALSE(word.empty()) << kCodeTables[id].name << " has no value " << value;
  std::string out;
  for (int i = 0; i < times; ++i) out += word;
  return out;
}

// Frames behind the bits a header of the version leaves before the first.
struct Stream {
  int32_t version, maxBand, midSide;
  BitWriter bits;
  Stream(int32_t v, int32_t band = 0, int32_t ms = 0) : version(v), maxBand(band), midSide(ms) {
    const FirstFrame first = FirstFrameOf(v == 0 ? 7 : v);
    bits.Put(0, static_cast<uint32_t>(first.byteOffset) * 8 + first.bitPos);
  }
  // A frame whose length field says the body's length plus lengthError.
  Stream& Frame(const BitWriter& body, int32_t lengthError = 0) {
    bits.Put(static_cast<uint32_t>(static_cast<int64_t>(body.Position()) + lengthError), 20).Append(body);
    return *this;
  }
};

struct Walk {
  Walk(const Stream& s, uint32_t frameCount, std::vector<uint8_t> bytes = {}, int failingRead = 0)
      : stream(bytes.empty() ? s.bits.Bytes() : std::move(bytes)), d(std::make_unique<FrameDecoder>(stream)) {
    stream.failingRead = failingRead;
    StreamInfo info{};
    info.streamVersion = static_cast<uint32_t>(s.version);
    info.maxBand = static_cast<uint32_t>(s.maxBand);
    info.midSide = static_cast<uint32_t>(s.midSide);
    info.frameCount = frameCount;
    info.fileLength = static_cast<int32_t>(stream.Seek(0, kFromEnd));
    d->Start(info);
  }
  // The results until the walk stops, and the frames that passed.
  std::vector<R> Run(bool reference = false) {
    std::vector<R> results;
    do {
      results.push_back(reference ? d->CheckNextFrameReference() : d->CheckNextFrame());
    } while (results.back() == R::kPassed);
    return results;
  }
  MemoryStream stream;
  std::unique_ptr<FrameDecoder> d;
};

BitWriter Body(const std::function<void(BitWriter&)>& lay) {
  BitWriter b;
  lay(b);
  return b;
}

// The bits a frame body takes as the check measures it: the same on both
// paths, and a frame declaring exactly that passes.
uint64_t MeasuredBits(const Stream& proto, const BitWriter& body) {
  uint64_t measured[2];
  for (int reference = 0; reference < 2; ++reference) {
    Stream s = proto;
    s.Frame(body);
    Walk w(s, 1);
    const bool passed = (reference ? w.d->CheckNextFrameReference() : w.d->CheckNextFrame()) == R::kPassed;
    measured[reference] = passed ? body.Position() : w.d->BitsConsumed64() - w.d->frameStart - 20;
  }
  EXPECT_EQ(measured[0], measured[1]) << "fast and reference paths consumed different bits";
  return measured[0];
}

TEST(FrameWalk, StopsForTheRightReason) {
  const BitWriter sv7 = Body([](BitWriter& b) { b.Put(0, 8); });  // band 0: both resolutions 0
  const BitWriter sv46 = Body([](BitWriter& b) { b.Code(CodeFor(Sv46ResCodeA, 0, 2)); });
  // Name, version, each frame's length error, frames declared, the results, frames passed.
  const std::tuple<const char*, int32_t, std::vector<int32_t>, uint32_t, std::vector<R>, uint32_t> cases[] = {
      {"all pass, then the end", 7, {0, 0, 0}, 3, {R::kPassed, R::kPassed, R::kPassed, R::kEndOfFrames}, 3},
      {"no frames declared", 7, {0}, 0, {R::kFailed}, 0},
      {"first frame too long", 7, {1}, 5, {R::kFailed}, 0},
      {"first frame too short", 23, {-1}, 5, {R::kFailed}, 0},
      {"fails after good frames", 6, {0, 0, 3}, 9, {R::kPassed, R::kPassed, R::kFailed}, 2},
      {"version 4", 4, {0, 0}, 2, {R::kPassed, R::kPassed, R::kEndOfFrames}, 2},
      {"version 5", 5, {0}, 1, {R::kPassed, R::kEndOfFrames}, 1},
      {"no frame parser", 0x27, {0}, 1, {R::kFailed}, 0},
  };
  for (const auto& [name, version, lengthErrors, declared, expected, passed] : cases) {
    for (bool reference : {false, true}) {
      SCOPED_TRACE(std::string(name) + (reference ? ", reference" : ""));
      Stream s(version);
      for (int32_t error : lengthErrors) s.Frame(version >= 7 ? sv7 : sv46, error);
      Walk w(s, declared);
      EXPECT_EQ(w.Run(reference), expected);
      EXPECT_EQ(w.d->framesDecoded, passed);
    }
  }
}

TEST(FrameWalk, EachElementCostsWhatTheSyntaxSays) {
  const std::tuple<const char*, Stream, BitWriter> cases[] = {
      {"v7: mid/side bit only where a band is used", Stream(7, 1, 1), Body([](BitWriter& b) {
         b.Put(3, 4).Put(0, 4).Put(1, 1).Code(CodeFor(Sv7ResDeltaCode, -3)).Code(CodeFor(Sv7ResDeltaCode, 0));
         b.Code(CodeFor(Sv7ScfSelectCode, 3)).Code(CodeFor(Sv7ScfDeltaCode, 0));
         b.Put(0, 1).Code(CodeFor(Sv7SampleCodeSet0Res3, 0, 36));
       })},
      {"v7: an escape reads a plain resolution", Stream(7, 1), Body([](BitWriter& b) {
         b.Put(2, 4).Put(0, 4).Code(CodeFor(Sv7ResDeltaCode, 4)).Put(15, 4).Code(CodeFor(Sv7ResDeltaCode, 0));
         b.Code(CodeFor(Sv7ScfSelectCode, 3, 2)).Code(CodeFor(Sv7ScfDeltaCode, 1, 2));
         b.Put(0, 1).Code(CodeFor(Sv7SampleCodeSet0Res2, 12, 18));  // res 2: a word per two samples
         b.Put(0, 36 * 14);                                         // res 15: 14-bit fields
       })},
      {"v7: a resolution above 17 ends the frame at its samples", Stream(7, 1), Body([](BitWriter& b) {
         b.Put(15, 4).Put(2, 4).Code(CodeFor(Sv7ResDeltaCode, 3)).Code(CodeFor(Sv7ResDeltaCode, 0));
         b.Code(CodeFor(Sv7ScfSelectCode, 3, 4)).Code(CodeFor(Sv7ScfDeltaCode, 0, 4));
         b.Put(0, 36 * 14).Put(1, 1).Code(CodeFor(Sv7SampleCodeSet1Res2, 12, 18));
       })},
      {"v7: noise and negative resolutions carry no sample bits", Stream(7, 2), Body([](BitWriter& b) {
         b.Put(0, 8).Code(CodeFor(Sv7ResDeltaCode, -1)).Code(CodeFor(Sv7ResDeltaCode, 0));
         b.Code(CodeFor(Sv7ResDeltaCode, -5)).Code(CodeFor(Sv7ResDeltaCode, 0));
         b.Code(CodeFor(Sv7ScfSelectCode, 0, 2));
         for (int band = 0; band < 2; ++band)
           b.Code(CodeFor(Sv7ScfDeltaCode, 8)).Put(63, 6).Code(CodeFor(Sv7ScfDeltaCode, -7, 2));
       })},
      {"v7: resolution 1 takes a word per three samples", Stream(7, 0), Body([](BitWriter& b) {
         b.Put(1, 4).Put(0, 4).Code(CodeFor(Sv7ScfSelectCode, 1)).Code(CodeFor(Sv7ScfDeltaCode, 2, 2));
         b.Put(1, 1).Code(CodeFor(Sv7SampleCodeSet1Res1, 13, 12));
       })},
      {"v7: selection patterns take 3, 2, 2, 1 scale factors", Stream(7, 3), Body([](BitWriter& b) {
         b.Put(8, 4).Put(0, 4).Code(CodeFor(Sv7ResDeltaCode, 0, 6));  // bands 0 to 3: left 8
         for (int pattern = 0; pattern < 4; ++pattern) b.Code(CodeFor(Sv7ScfSelectCode, pattern));
         b.Code(CodeFor(Sv7ScfDeltaCode, 0, 3 + 2 + 2 + 1)).Put(0x55, 4 * 36 * 7);  // res 8: 7-bit fields
       })},
      {"v4-6: every band has two codes and a mid/side bit", Stream(5, 31, 1), Body([](BitWriter& b) {
         for (int band = 0; band <= 31; ++band) {
           const TableId code = band <= 10 ? Sv46ResCodeA : band <= 22 ? Sv46ResCodeB : Sv46ResCodeC;
           b.Code(CodeFor(code, 0)).Put(1, 1).Code(CodeFor(code, 0));
         }
       })},
      {"v4-6: the highest index is resolution 17", Stream(6, 0), Body([](BitWriter& b) {
         b.Code(CodeFor(Sv46ResCodeA, 15, 2)).Code(CodeFor(Sv46ScfSelectCode, 6, 2)).Put(1, 6).Put(2, 6);
         b.Put(0, 36 * 32);
       })},
      {"v4-6: coded samples, then the other channel's fields", Stream(4, 0), Body([](BitWriter& b) {
         b.Code(CodeFor(Sv46ResCodeA, 9)).Code(CodeFor(Sv46ResCodeA, 2));
         b.Code(CodeFor(Sv46ScfSelectCode, 7)).Code(CodeFor(Sv46ScfSelectCode, 1));
         b.Code(CodeFor(Sv46ScfDeltaCode, 3)).Code(CodeFor(Sv46ScfDeltaCode, -6, 3));
         b.Code(CodeFor(Sv46SampleCodeRes2, -2, 36)).Put(0xAB, 36 * 8);
       })},
  };
  for (const auto& [name, stream, body] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(MeasuredBits(stream, body), body.Position());
  }
  // The differential flag and the pattern decide what follows a selection code.
  const int deltas[] = {0, 3, 0, 2, 0, 2, 0, 1}, fields[] = {3, 0, 2, 0, 2, 0, 1, 0};
  for (int select = 0; select < 8; ++select) {
    SCOPED_TRACE(select);
    const BitWriter body = Body([&](BitWriter& b) {
      b.Code(CodeFor(Sv46ResCodeA, 1))
          .Code(CodeFor(Sv46ResCodeA, 0))
          .Code(CodeFor(Sv46ScfSelectCode, select));
      b.Code(CodeFor(Sv46ScfDeltaCode, 6, deltas[select])).Put(33, 6 * fields[select]);
      b.Code(CodeFor(Sv46SampleCodeRes1, 1, 36));
    });
    EXPECT_EQ(MeasuredBits(Stream(6, 0), body), body.Position());
  }
}

// The noise generator as it is defined: two shift registers, each fed back by the parity of its tapped bits,
// both 1 when the decoder is made. A sample is the sum of the four bytes of a word, less 510.
struct Noise {
  uint32_t a = 1, b = 1;
  int32_t Next() {
    const uint32_t na = a >> 1 | static_cast<uint32_t>(std::popcount(a & 0xF5u) & 1) << 31;
    b = b << 1 | static_cast<uint32_t>(std::popcount((b >> 25) & 0x63u) & 1);
    a = na;
    const uint32_t w = a ^ b;
    return static_cast<int32_t>((w & 0xFF) + (w >> 8 & 0xFF) + (w >> 16 & 0xFF) + (w >> 24)) - 510;
  }
};

// The reference path keeps the sample values each coding denotes: groups of three and two, single codes,
// fixed-width fields, and noise that goes on from frame to frame.
TEST(FrameWalk, TheReferencePathKeepsEverySampleValue) {
  const BitWriter body = Body([](BitWriter& b) {
    b.Put(1, 4).Put(2, 4);  // band 0: left 1, right 2
    b.Code(CodeFor(Sv7ResDeltaCode, 4)).Put(9, 4).Code(CodeFor(Sv7ResDeltaCode, -3));  // band 1: 9, -1
    b.Code(CodeFor(Sv7ResDeltaCode, -4)).Code(CodeFor(Sv7ResDeltaCode, 1));            // band 2: 5, 0
    b.Code(CodeFor(Sv7ScfSelectCode, 3, 5)).Code(CodeFor(Sv7ScfDeltaCode, 0, 5));
    b.Put(0, 1).Code(CodeFor(Sv7SampleCodeSet0Res1, 20, 12));  // 1, -1, 1
    b.Put(1, 1).Code(CodeFor(Sv7SampleCodeSet1Res2, 8, 18));   // 1, -1
    for (int k = 0; k < 36; ++k) b.Put(200 - k, 8);            // 73 - k
    b.Put(0, 1).Code(CodeFor(Sv7SampleCodeSet0Res5, -6, 36));
  });
  Stream s(7, 2);
  s.Frame(body).Frame(body);
  Walk w(s, 2);
  Noise noise;
  for (int frame = 0; frame < 2; ++frame) {
    ASSERT_EQ(w.d->CheckNextFrameReference(), R::kPassed);
    const SampleBand* band = w.d->samples;
    for (int k = 0; k < kSamplesPerSubband; ++k) {
      SCOPED_TRACE(testing::Message() << "frame " << frame << ", sample " << k);
      EXPECT_EQ(band[0].left[k], k % 3 == 1 ? -1 : 1);  // none is 0, as the arrays start
      EXPECT_EQ(band[0].right[k], k % 2 ? -1 : 1);
      EXPECT_EQ(band[1].left[k], 73 - k);
      EXPECT_EQ(band[1].right[k], noise.Next());
      EXPECT_EQ(band[2].left[k], -6);
    }
  }
}

// Frames ending in zero fields: decoded from the cleared (or stale) ring
// past the end of a cut file, they would still measure their length.
Stream FramesEndingInZeros(int frames) {
  const BitWriter body = Body([](BitWriter& b) {
    b.Put(8, 4).Put(0, 4).Code(CodeFor(Sv7ScfSelectCode, 3)).Code(CodeFor(Sv7ScfDeltaCode, 0)).Put(0, 36 * 7);
  });
  Stream s(7);
  for (int i = 0; i < frames; ++i) s.Frame(body);
  return s;
}

TEST(FrameWalk, NoFrameReachesPastTheEndOfTheFile) {
  const Stream s = FramesEndingInZeros(3);
  const std::vector<uint8_t> whole = s.bits.Bytes();
  EXPECT_EQ(Walk(s, 3).Run().back(), R::kEndOfFrames);
  for (size_t cut : {8, 1}) {  // inside the last frame; the last word held in part
    Walk w(s, 3, std::vector<uint8_t>(whole.begin(), whole.end() - static_cast<long>(cut)));
    EXPECT_EQ(w.Run(), (std::vector<R>{R::kPassed, R::kPassed, R::kFailed})) << cut;
  }
}

TEST(FrameWalk, AFailedReadIsNeverDamage) {
  const Stream s = FramesEndingInZeros(4000);  // a few refills
  // Read 1 fills the ring; read k > 1 is the refill after k - 1 half boundaries. The reader
  // crosses half h after frame ceil((h * 2^18 - 8) / F), F a frame's bits (the first starts
  // at bit 8): that frame passed, and the walk stops there.
  const uint64_t frameBits = (s.bits.Position() - 200) / 4000;
  auto crossing = [&](int h) { return static_cast<uint32_t>((h * 262144 - 8 + frameBits - 1) / frameBits); };
  for (int failing : {1, 2, 3, 5}) {
    Walk w(s, 4000, {}, failing);
    EXPECT_EQ(w.Run().back(), R::kReadError) << failing;
    EXPECT_EQ(w.d->framesDecoded, failing == 1 ? 0 : crossing(failing - 1)) << failing;
  }
  // A refill that fails after the last declared frame passed costs nothing.
  Walk last(s, crossing(1), {}, 2);
  EXPECT_EQ(last.Run().back(), R::kEndOfFrames);
  EXPECT_EQ(last.d->framesDecoded, crossing(1));
}

}  // namespace
}  // namespace velkscan

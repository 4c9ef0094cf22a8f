// Generated files through the real decoder, over real files on disk: valid
// streams pass every frame on both decoding paths, and the decoder's bit
// count after each frame lands exactly where the generator put the next
// frame; damaged streams are found broken no later than the damage allows.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <string>
#include <tuple>

#include "gentest.h"
#include "support/memorystream.h"

namespace velkscan::test {
namespace {

using gen::DamageKind;
using gen::GeneratedStream;
using gen::Profile;
using gen::StreamOptions;
using gen::TagKind;

// Both walks of a valid stream: header as written, every frame passes, and
// after frame k the decoder has consumed exactly the bits up to frame k + 1.
void ExpectPassesEveryFrame(const ScratchDir& dir, const StreamOptions& o) {
  const GeneratedStream s = GenerateStream(o);
  SCOPED_TRACE(Label(o) + ", max band " + std::to_string(o.maxBand) + ", frames " +
               std::to_string(o.frameCount));
  const fs::path file = dir / "stream.vlk";
  gen::WriteFile(file, s.bytes);
  for (bool reference : {false, true}) {
    SCOPED_TRACE(reference ? "reference path" : "checking path");
    const Walk w = WalkFile(file, reference);
    ASSERT_EQ(w.headerResult, 0);
    EXPECT_EQ(w.info.headerPos, s.headerPos);
    EXPECT_EQ(w.info.streamVersion, s.streamVersion);
    EXPECT_EQ(w.info.frameCount, s.declaredFrameCount);
    EXPECT_EQ(w.info.maxBand, s.header.maxBand);
    EXPECT_EQ(w.info.midSide, s.header.midSide ? 1u : 0u);
    if (s.streamVersion >= 7) {
      const double rates[] = {44100, 48000, 37800, 32000};
      EXPECT_EQ(w.info.sampleRate, rates[s.header.sampleRateIndex]);
      EXPECT_EQ(w.info.profileIndex, s.header.profileIndex);
      EXPECT_EQ(w.info.encoderVersion, s.header.encoderVersion);
    }
    EXPECT_EQ(w.frameOk, s.frames.empty() ? 0 : 1);
    EXPECT_EQ(w.framesDecoded, s.frames.size());
    EXPECT_EQ(w.last, s.frames.empty() ? FrameResult::kFailed : FrameResult::kEndOfFrames);
    ASSERT_EQ(w.bitsAfterFrame.size(), s.frames.size());
    for (size_t k = 0; k < s.frames.size(); ++k) {
      ASSERT_EQ(w.bitsAfterFrame[k], s.frames[k].EndBit() - s.ringStartBit) << "after frame " << k;
    }
  }
}

class ValidStreams : public ::testing::TestWithParam<std::tuple<uint32_t, Profile>> {};

TEST_P(ValidStreams, PassEveryFrame) {
  const auto [version, profile] = GetParam();
  ScratchDir dir;
  const uint32_t frames = profile == Profile::Music ? 150 : 120;
  for (uint64_t seed = 1; seed <= 4; ++seed) {
    for (TagKind tag : {TagKind::None, TagKind::Id3v2, TagKind::Id3v2Footer})
      ExpectPassesEveryFrame(dir, Options(version, profile, seed * 1000 + version, frames, tag));
  }
  // The extremes of maxBand (and where the 4-to-6 index tables change), with
  // and without mid/side; no frames and one frame.
  for (int maxBand : {0, 1, 10, 11, 22, 23, 31}) {
    for (bool midSide : {false, true}) {
      StreamOptions o = Options(version, profile, 40 + static_cast<uint64_t>(maxBand), 40);
      o.maxBand = maxBand;
      o.midSide = midSide;
      ExpectPassesEveryFrame(dir, o);
    }
  }
  for (uint32_t few : {0u, 1u}) ExpectPassesEveryFrame(dir, Options(version, profile, 8, few));
}

INSTANTIATE_TEST_SUITE_P(AllVersions, ValidStreams,
                         ::testing::Combine(::testing::Values(4u, 5u, 6u, 7u, 23u),
                                            ::testing::Values(Profile::Music, Profile::Exhaustive)),
                         [](const auto& info) {
                           return "v" + std::to_string(std::get<0>(info.param)) +
                                  (std::get<1>(info.param) == Profile::Music ? "_music" : "_exhaustive");
                         });

// Long enough that the ring is refilled many times, with frames crossing
// every half boundary at some bit position.
TEST(ValidStreamsLong, PassAcrossManyRingRefills) {
  ScratchDir dir;
  for (uint32_t version : {4u, 7u}) {
    for (Profile profile : {Profile::Music, Profile::Exhaustive}) {
      StreamOptions o = Options(version, profile, 5, profile == Profile::Music ? 2500 : 1000, TagKind::Id3v2);
      o.tagBodySize = 1;                                      // a header position that is not a multiple of 4
      ASSERT_GT(GenerateStream(o).bytes.size(), 8u * 65536);  // the ring is refilled over a dozen times
      ExpectPassesEveryFrame(dir, o);
    }
  }
}

// --- Damage ----------------------------------------------------------------

class DamagedStreams : public ::testing::TestWithParam<DamageKind> {};

TEST_P(DamagedStreams, AreFoundBrokenNoLaterThanTheDamageAllows) {
  const DamageKind kind = GetParam();
  ScratchDir dir;
  for (uint32_t version : {4u, 5u, 6u, 7u, 23u}) {
    for (Profile profile : {Profile::Music, Profile::Exhaustive}) {
      for (uint64_t seed = 1; seed <= 4; ++seed) {
        const StreamOptions o =
            Options(version, profile, seed * 31 + version, 200, seed % 2 ? TagKind::None : TagKind::Id3v2);
        GeneratedStream s = GenerateStream(o);
        const gen::DamageReport d = gen::ApplyDamage(s, kind, o.seed + 7);
        SCOPED_TRACE(Label(o) + ", " + d.description);
        const fs::path file = dir / "damaged.vlk";
        gen::WriteFile(file, s.bytes);
        for (bool reference : {false, true}) {
          SCOPED_TRACE(reference ? "reference path" : "checking path");
          const Walk w = WalkFile(file, reference);
          ASSERT_EQ(w.headerResult, 0);  // the damage lies past the header fields
          EXPECT_EQ(w.info.frameCount, s.declaredFrameCount);
          EXPECT_EQ(w.frameOk, 0);
          EXPECT_LE(w.framesDecoded, d.framesWhollyBefore + 1);
          if (d.exactGood) {
            EXPECT_EQ(w.framesDecoded, *d.exactGood);
          }
          // The frames that passed are the generator's frames, bit for bit.
          for (size_t k = 0; k < w.bitsAfterFrame.size() && k < d.framesWhollyBefore; ++k)
            ASSERT_EQ(w.bitsAfterFrame[k], s.frames[k].EndBit() - s.ringStartBit);
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EveryKind, DamagedStreams, ::testing::ValuesIn(gen::kAllDamageKinds),
                         [](const auto& info) { return std::string(gen::DamageName(info.param)); });

TEST(DamageFunctions, ChangeOnlyWhatTheySay) {
  const Bytes original = {1, 2, 3, 4, 5, 6, 7, 8};
  Bytes b = original;
  gen::FlipBit(b, 2, 7);
  EXPECT_EQ(b, (Bytes{1, 2, 0x83, 4, 5, 6, 7, 8}));
  b = original;
  gen::InsertBytes(b, 3, {9, 9});
  EXPECT_EQ(b, (Bytes{1, 2, 3, 9, 9, 4, 5, 6, 7, 8}));
  gen::DeleteBytes(b, 3, 2);
  EXPECT_EQ(b, original);
  gen::DeleteBytes(b, 6, 100);  // clipped at the end
  EXPECT_EQ(b, (Bytes{1, 2, 3, 4, 5, 6}));
  gen::TruncateTo(b, 2);
  EXPECT_EQ(b, (Bytes{1, 2}));

  Bytes big(10000, 0xFF);
  gen::ZeroBlock(big, 100);
  EXPECT_EQ(std::count(big.begin(), big.end(), 0), 4096);
  EXPECT_EQ(big[99], 0xFF);
  EXPECT_EQ(big[100], 0);
  gen::ZeroBlock(big, 9000);  // clipped at the end of the file
  EXPECT_EQ(big.size(), 10000u);
  EXPECT_EQ(std::count(big.begin(), big.end(), 0), 4096 + 1000);

  // Over-claim changes only the count: word 1, or its upper half for version 4.
  for (uint32_t version : {4u, 5u, 6u, 7u, 23u}) {
    const GeneratedStream s = GenerateStream(Options(version, Profile::Music, 1, 10, TagKind::Id3v2));
    Bytes bytes = s.bytes;
    gen::OverClaim(bytes, s.headerPos, version, 65534);
    const size_t first = static_cast<size_t>(s.headerPos) + (version == 4 ? 6 : 4);
    for (size_t i = 0; i < bytes.size(); ++i) {
      if (i < first || i >= static_cast<size_t>(s.headerPos) + 8) {
        ASSERT_EQ(bytes[i], s.bytes[i]) << i;
      }
    }
    MemoryStream stream(bytes);
    StreamInfo info{};
    ASSERT_EQ(ReadStreamHeader(info, stream), 0);
    EXPECT_EQ(info.frameCount, 65534u) << "version " << version;
  }
}

TEST(DamageFunctions, ApplyDamageKeepsTheHeaderAndIsReproducible) {
  for (DamageKind kind : gen::kAllDamageKinds) {
    SCOPED_TRACE(gen::DamageName(kind));
    const GeneratedStream clean = GenerateStream(Options(6, Profile::Music, 1, 100, TagKind::Id3v2Footer));
    GeneratedStream a = clean, b = clean;
    const gen::DamageReport da = gen::ApplyDamage(a, kind, 3);
    const gen::DamageReport db = gen::ApplyDamage(b, kind, 3);
    EXPECT_EQ(a.bytes, b.bytes);
    EXPECT_EQ(da.offset, db.offset);
    EXPECT_NE(a.bytes, clean.bytes);
    // Tag, header word 0 and everything before the damage stay as they were.
    const size_t keep = kind == DamageKind::OverClaim ? static_cast<size_t>(clean.headerPos) + 4 : da.offset;
    ASSERT_LE(keep, std::min(a.bytes.size(), clean.bytes.size()));
    EXPECT_TRUE(std::equal(clean.bytes.begin(), clean.bytes.begin() + static_cast<std::ptrdiff_t>(keep),
                           a.bytes.begin()));
    if (kind != DamageKind::OverClaim) {
      EXPECT_GE(da.offset, static_cast<uint64_t>(clean.headerPos) + 8);
    }
    if (kind == DamageKind::Flip) {
      int differing = 0;
      for (size_t i = 0; i < a.bytes.size(); ++i)
        differing += std::popcount(static_cast<unsigned>(a.bytes[i] ^ clean.bytes[i]));
      EXPECT_EQ(differing, 1);
    }
  }
}

}  // namespace
}  // namespace velkscan::test

// The generator against the real decoder, on disk: valid streams pass every frame on both
// paths, each ending where the generator put the next; damage is found no later than it allows.
#include <gtest/gtest.h>

#include <string>

#include "gentest.h"

namespace velkscan::test {
namespace {

using gen::DamageKind;
using gen::GeneratedStream;
using gen::Profile;
using gen::StreamOptions;
using gen::TagKind;

void ExpectPassesEveryFrame(const ScratchDir& dir, const StreamOptions& o) {
  const GeneratedStream s = GenerateStream(o);
  SCOPED_TRACE(Label(o));
  gen::WriteFile(dir / "stream.vlk", s.bytes);
  for (bool reference : {false, true}) {
    SCOPED_TRACE(reference ? "reference path" : "checking path");
    const Walk w = WalkFile(dir / "stream.vlk", reference);
    ASSERT_EQ(w.headerResult, HeaderResult::kOk);
    EXPECT_EQ(w.info.headerPos, s.headerPos);
    EXPECT_EQ(w.info.streamVersion, s.streamVersion);
    EXPECT_EQ(w.info.frameCount, s.declaredFrameCount);
    EXPECT_EQ(w.last, s.frames.empty() ? FrameResult::kFailed : FrameResult::kEndOfFrames);
    ASSERT_EQ(w.bitsAfterFrame.size(), s.frames.size());
    for (size_t k = 0; k < s.frames.size(); ++k)
      ASSERT_EQ(w.bitsAfterFrame[k], s.frames[k].EndBit() - s.ringStartBit) << "after frame " << k;
  }
}

TEST(RoundTrip, EveryVersionPassesEveryFrame) {
  ScratchDir dir;
  for (uint32_t version : {4u, 5u, 6u, 7u, 23u}) {
    for (Profile profile : {Profile::Music, Profile::Exhaustive}) {
      for (TagKind tag : {TagKind::None, TagKind::Id3v2, TagKind::Id3v2Footer})
        ExpectPassesEveryFrame(dir,
                               Options(version, 60, 1000 + version + static_cast<int>(tag), tag, profile));
      // The band limits where the older layout's index tables change, with
      // and without mid/side; no frames and one frame.
      for (int maxBand : {0, 10, 11, 22, 23, 31}) {
        StreamOptions o = Options(version, 12, 40 + static_cast<uint64_t>(maxBand), TagKind::None, profile);
        o.maxBand = maxBand, o.midSide = maxBand % 2 == 1;
        ExpectPassesEveryFrame(dir, o);
      }
      for (uint32_t few : {0u, 1u})
        ExpectPassesEveryFrame(dir, Options(version, few, 8, TagKind::None, profile));
    }
  }
  // Long enough that frames cross every half of the ring many times, behind
  // a header position that is not a multiple of 4.
  for (uint32_t version : {4u, 7u}) {
    StreamOptions o = Options(version, 900, 5, TagKind::Id3v2, Profile::Exhaustive);
    o.tagBodySize = 1;
    ASSERT_GT(GenerateStream(o).bytes.size(), 6u * 65536);
    ExpectPassesEveryFrame(dir, o);
  }
}

TEST(RoundTrip, EveryDamageIsFoundNoLaterThanItAllows) {
  ScratchDir dir;
  for (DamageKind kind : gen::kAllDamageKinds) {
    for (uint32_t version : {4u, 5u, 6u, 7u, 23u}) {
      for (uint64_t seed = 1; seed <= 2; ++seed) {
        const StreamOptions o =
            Options(version, 120, seed * 31 + version, seed == 1 ? TagKind::None : TagKind::Id3v2,
                    seed == 1 ? Profile::Music : Profile::Exhaustive);
        GeneratedStream s = GenerateStream(o);
        // The whole stream's words left in the ring where the damaged one's
        // are missing or changed.
        gen::WriteFile(dir / "whole.vlk", s.bytes);
        ASSERT_EQ(WalkFile(dir / "whole.vlk", false).last, FrameResult::kEndOfFrames);
        const gen::DamageReport d = gen::ApplyDamage(s, kind, o.seed + 7);
        SCOPED_TRACE(Label(o) + ", " + d.description);
        gen::WriteFile(dir / "damaged.vlk", s.bytes);
        for (bool reference : {false, true}) {
          const Walk w = WalkFile(dir / "damaged.vlk", reference);
          ASSERT_EQ(w.headerResult, HeaderResult::kOk);  // the damage lies past the header fields
          EXPECT_EQ(w.info.frameCount, s.declaredFrameCount);
          EXPECT_EQ(w.last, FrameResult::kFailed);
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

TEST(RoundTrip, LibraryFilesBehaveAsListed) {
  ScratchDir dir;
  for (const gen::LibraryFile& f : gen::GenerateLibrary(dir.path(), {.sizeMb = 2, .seed = 11})) {
    if (f.kind == gen::FileKind::NotVelk) continue;
    SCOPED_TRACE(f.path.string() + " (" + gen::FileKindName(f.kind) + ")");
    const Walk w = WalkFile(dir / f.path, false);
    EXPECT_EQ(w.headerResult != HeaderResult::kOk, f.kind == gen::FileKind::Unrecognised);
    if (w.headerResult != HeaderResult::kOk) continue;
    EXPECT_EQ(w.info.headerPos, f.headerPos);
    EXPECT_EQ(w.info.frameCount, f.declaredFrameCount);
    if (f.kind == gen::FileKind::Broken) {
      EXPECT_EQ(w.last, FrameResult::kFailed);
      EXPECT_LE(w.framesDecoded, f.damage->framesWhollyBefore + 1);
      if (f.damage->exactGood) {
        EXPECT_EQ(w.framesDecoded, *f.damage->exactGood);
      }
    } else {
      EXPECT_EQ(w.last, FrameResult::kEndOfFrames);
      EXPECT_EQ(w.framesDecoded, f.declaredFrameCount);
    }
  }
}

}  // namespace
}  // namespace velkscan::test

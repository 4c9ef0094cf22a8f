// The generator's output read back bit by bit, without the decoder: header
// layouts, tags, where frames start, that every frame declares the bits up
// to the next one, and what each profile covers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "gentest.h"

namespace velkscan::test {
namespace {

using gen::Bytes;
using gen::GeneratedStream;
using gen::Profile;
using gen::StreamOptions;
using gen::TagKind;

uint32_t LeWord(const Bytes& b, size_t at) {
  return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
         static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// n bits (at most 32) from a bit position counted from the start of the
// file: little-endian words from the header position, each from bit 31 down.
uint32_t BitsAt(const Bytes& b, int32_t headerPos, uint64_t fileBit, uint32_t n) {
  uint32_t v = 0;
  for (uint32_t i = 0; i < n; ++i) {
    const uint64_t s = fileBit + i - static_cast<uint64_t>(headerPos) * 8;
    const uint32_t word = LeWord(b, static_cast<size_t>(headerPos + (s / 32) * 4));
    v = (v << 1) | ((word >> (31 - s % 32)) & 1);
  }
  return v;
}

StreamOptions Options(uint32_t version, Profile profile, uint64_t seed, uint32_t frames = 60) {
  StreamOptions o;
  o.streamVersion = version;
  o.profile = profile;
  o.seed = seed;
  o.frameCount = frames;
  return o;
}

constexpr uint32_t kVersions[] = {4, 5, 6, 7, 23};
constexpr TagKind kTags[] = {TagKind::None, TagKind::Id3v2, TagKind::Id3v2Footer};

TEST(GeneratorLayout, HeadersFollowTheirLayout) {
  for (uint32_t v : kVersions) {
    for (TagKind tag : kTags) {
      StreamOptions o = Options(v, Profile::Exhaustive, 11 + v);
      o.tag = tag;
      const GeneratedStream s = GenerateStream(o);
      SCOPED_TRACE("version " + std::to_string(v) + ", tag " + std::to_string(static_cast<int>(tag)));
      const size_t hp = static_cast<size_t>(s.headerPos);
      ASSERT_GE(s.bytes.size(), hp + 32);
      const uint32_t w0 = LeWord(s.bytes, hp), w1 = LeWord(s.bytes, hp + 4);
      const uint64_t base = hp * 8;
      EXPECT_EQ(s.declaredFrameCount, o.frameCount);
      if (v >= 7) {
        EXPECT_EQ(0, std::memcmp(&s.bytes[hp], "VKQ", 3));
        EXPECT_EQ(s.bytes[hp + 3], v);
        EXPECT_EQ(w1, o.frameCount);
        const uint32_t w2 = LeWord(s.bytes, hp + 8), w5 = LeWord(s.bytes, hp + 20);
        EXPECT_EQ(w2 >> 31, 0u);
        EXPECT_EQ((w2 >> 30) & 1, s.header.midSide ? 1u : 0u);
        EXPECT_EQ((w2 >> 24) & 0x3F, s.header.maxBand);
        EXPECT_EQ((w2 >> 20) & 0xF, s.header.profileIndex);
        EXPECT_EQ((w2 >> 16) & 0x3, s.header.sampleRateIndex);
        EXPECT_EQ(w2 & 0xFFFF, s.header.maxLevel);
        EXPECT_EQ(LeWord(s.bytes, hp + 12), uint32_t{s.header.firstGain} << 16 | s.header.firstPeak);
        EXPECT_EQ(LeWord(s.bytes, hp + 16), uint32_t{s.header.secondGain} << 16 | s.header.secondPeak);
        EXPECT_EQ(w5 >> 31, s.header.word5Flag ? 1u : 0u);
        EXPECT_EQ((w5 >> 20) & 0x7FF, s.header.lastFrameLength);
        EXPECT_EQ(w5 & 0xFFFFF, 0u);
        EXPECT_EQ(s.bytes[hp + 27], s.header.encoderVersion);  // byte 27, top of word 6
        EXPECT_EQ(s.frames.front().lengthFieldBit, base + 200);
        EXPECT_EQ(s.ringStartBit, base + 6 * 32);
      } else {
        EXPECT_EQ(w0 >> 23, 0u);        // nine-bit field
        EXPECT_EQ((w0 >> 22) & 1, 0u);  // second stereo flag
        EXPECT_EQ((w0 >> 21) & 1, s.header.midSide ? 1u : 0u);
        EXPECT_EQ((w0 >> 11) & 0x3FF, v);
        EXPECT_EQ((w0 >> 6) & 0x1F, s.header.maxBand);
        EXPECT_EQ(w0 & 0x3F, 1u);  // block field
        if (v == 4) {
          EXPECT_EQ(w1 >> 16, o.frameCount + 1);
          EXPECT_EQ(s.frames.front().lengthFieldBit, base + 48);
          EXPECT_EQ(s.ringStartBit, base + 32);
        } else {
          EXPECT_EQ(w1, v == 5 ? o.frameCount + 1 : o.frameCount);
          EXPECT_EQ(s.frames.front().lengthFieldBit, base + 64);
          EXPECT_EQ(s.ringStartBit, base + 64);
        }
      }
    }
  }
}

TEST(GeneratorLayout, TagsCarryTheirSizeAndFooter) {
  for (TagKind tag : {TagKind::Id3v2, TagKind::Id3v2Footer}) {
    for (int body : {0, 1, 127, 128, 300, 20000}) {
      StreamOptions o = Options(7, Profile::Music, 3, 4);
      o.tag = tag;
      o.tagBodySize = body;
      const GeneratedStream s = GenerateStream(o);
      const Bytes& b = s.bytes;
      ASSERT_EQ(0, std::memcmp(b.data(), "ID3", 3));
      EXPECT_EQ(b[5] & 0x0F, 0);
      const bool footer = tag == TagKind::Id3v2Footer;
      EXPECT_EQ((b[5] & 0x10) != 0, footer);
      uint32_t size = 0;
      for (int i = 6; i < 10; ++i) {
        EXPECT_EQ(b[i] & 0x80, 0);
        size = size << 7 | b[i];
      }
      EXPECT_EQ(size, static_cast<uint32_t>(body));
      EXPECT_EQ(s.headerPos, static_cast<int32_t>(10 + size + (footer ? 10 : 0)));
      if (footer) {
        EXPECT_EQ(0, std::memcmp(&b[10 + size], "3DI", 3));
      }
      EXPECT_EQ(0, std::memcmp(&b[s.headerPos], "VKQ", 3));
    }
  }
  // Without a tag the header is at 0.
  EXPECT_EQ(GenerateStream(Options(5, Profile::Music, 3, 4)).headerPos, 0);
}

TEST(GeneratorLayout, EveryFrameDeclaresTheBitsUpToTheNext) {
  for (uint32_t v : kVersions) {
    for (Profile p : {Profile::Music, Profile::Exhaustive}) {
      for (TagKind tag : kTags) {
        StreamOptions o = Options(v, p, 100 + v, 80);
        o.tag = tag;
        const GeneratedStream s = GenerateStream(o);
        SCOPED_TRACE("version " + std::to_string(v));
        ASSERT_EQ(s.frames.size(), o.frameCount);
        for (size_t k = 0; k < s.frames.size(); ++k) {
          const auto& f = s.frames[k];
          ASSERT_EQ(BitsAt(s.bytes, s.headerPos, f.lengthFieldBit, 20), f.bodyBits) << "frame " << k;
          ASSERT_GT(f.bodyBits, 0u);
          if (k + 1 < s.frames.size()) {
            ASSERT_EQ(s.frames[k + 1].lengthFieldBit, f.EndBit()) << "frame " << k;
          }
        }
        // Whole words after the header position, zero bits after the last frame.
        const uint64_t end = s.frames.back().EndBit();
        const uint64_t streamBits = end - static_cast<uint64_t>(s.headerPos) * 8;
        const uint64_t words = std::max<uint64_t>(8, (streamBits + 31) / 32);
        EXPECT_EQ(s.bytes.size(), static_cast<size_t>(s.headerPos) + 4 * words);
        for (uint64_t bit = end; bit < s.bytes.size() * 8; bit += 7)
          ASSERT_EQ(BitsAt(s.bytes, s.headerPos, bit, 1), 0u);
      }
    }
  }
}

TEST(GeneratorLayout, ByteOfBitFollowsTheWordOrder) {
  StreamOptions o = Options(7, Profile::Music, 1, 4);
  o.tag = TagKind::Id3v2;
  o.tagBodySize = 5;
  const GeneratedStream s = GenerateStream(o);
  const uint64_t base = static_cast<uint64_t>(s.headerPos) * 8;
  EXPECT_EQ(s.ByteOfBit(base + 0), 15u + 3);  // the top bit of a word is in its last byte
  EXPECT_EQ(s.ByteOfBit(base + 31), 15u);
  EXPECT_EQ(s.ByteOfBit(base + 32), 15u + 7);
  EXPECT_EQ(GeneratedStream::BitInByte(base + 0), 7);
  EXPECT_EQ(GeneratedStream::BitInByte(base + 31), 0);
  // The "VKQ" magic: 'V' is bits 24..31 of word 0.
  uint32_t v = 0;
  for (int i = 0; i < 8; ++i)
    v = v << 1 | ((s.bytes[s.ByteOfBit(base + 24 + i)] >> s.BitInByte(base + 24 + i)) & 1);
  EXPECT_EQ(v, static_cast<uint32_t>('V'));

  EXPECT_EQ(s.FramesWhollyBefore(s.bytes.size()), s.frames.size());
  EXPECT_EQ(s.FramesWhollyBefore(static_cast<uint64_t>(s.headerPos) + 24), 0u);
  // A frame counts once the word holding its last bit is complete.
  const auto& f0 = s.frames[0];
  const uint64_t f0WordEnd = s.headerPos + ((f0.EndBit() - 1 - base) / 32 + 1) * 4;
  EXPECT_EQ(s.FramesWhollyBefore(f0WordEnd - 1), 0u);
  EXPECT_EQ(s.FramesWhollyBefore(f0WordEnd), 1u);
}

TEST(GeneratorLayout, SameSeedSameBytes) {
  for (uint32_t v : kVersions) {
    for (Profile p : {Profile::Music, Profile::Exhaustive}) {
      StreamOptions o = Options(v, p, 77, 40);
      o.tag = TagKind::Id3v2Footer;
      const GeneratedStream a = GenerateStream(o);
      const GeneratedStream b = GenerateStream(o);
      EXPECT_EQ(a.bytes, b.bytes);
      o.seed = 78;
      EXPECT_NE(a.bytes, GenerateStream(o).bytes);
    }
  }
}

// FNV-1a over the bytes. Pins the output of two settings: a platform or
// build that generates other bytes fails here (tests, benchmarks and the
// fuzz corpus rely on fixed seeds). A deliberate change of the generator
// updates these values.
uint64_t Fnv1a(const Bytes& bytes) {
  uint64_t h = 0xCBF29CE484222325ull;
  for (uint8_t b : bytes) h = (h ^ b) * 0x100000001B3ull;
  return h;
}

TEST(GeneratorLayout, OutputIsPinned) {
  StreamOptions a = Options(7, Profile::Exhaustive, 2024, 50);
  a.tag = TagKind::Id3v2;
  StreamOptions b = Options(5, Profile::Music, 9, 50);
  b.midSide = true;
  b.maxBand = 27;
  EXPECT_EQ(Fnv1a(GenerateStream(a).bytes), 0xdb96946d9dbc9127ull);
  EXPECT_EQ(Fnv1a(GenerateStream(b).bytes), 0x3e4ce7fba85ebaa8ull);
}

TEST(GeneratorLayout, OptionsAreChecked) {
  EXPECT_TRUE(gen::CheckOptions(Options(7, Profile::Music, 1)).empty());
  StreamOptions o = Options(8, Profile::Music, 1);
  EXPECT_FALSE(gen::CheckOptions(o).empty());
  EXPECT_THROW(GenerateStream(o), std::invalid_argument);
  o = Options(4, Profile::Music, 1, 65535);
  EXPECT_FALSE(gen::CheckOptions(o).empty());
  o.frameCount = 65534;
  EXPECT_TRUE(gen::CheckOptions(o).empty());
  o = Options(6, Profile::Music, 1);
  o.maxBand = 32;
  EXPECT_FALSE(gen::CheckOptions(o).empty());
  o.maxBand = 31;
  EXPECT_TRUE(gen::CheckOptions(o).empty());
}

// --- What the profiles reach ----------------------------------------------

gen::Coverage CoverageOf(std::initializer_list<uint32_t> versions, Profile p, int seeds, uint32_t frames) {
  gen::Coverage all;
  for (uint32_t v : versions) {
    for (int seed = 1; seed <= seeds; ++seed) {
      StreamOptions o = Options(v, p, static_cast<uint64_t>(seed), frames);
      o.midSide = seed % 2 == 0;
      all.Add(GenerateStream(o).coverage);
    }
  }
  return all;
}

TEST(GeneratorCoverage, ExhaustiveVersion7ReachesEveryElement) {
  const gen::Coverage c = CoverageOf({7, 23}, Profile::Exhaustive, 3, 100);
  for (int d = 0; d < 9; ++d) EXPECT_GT(c.resDelta[d], 0u) << "difference " << d - 5;
  EXPECT_GT(c.resEscape, 0u);
  for (int r = -17; r <= 17; ++r) EXPECT_GT(c.resolution[r + 17], 0u) << "resolution " << r;
  EXPECT_GT(c.res16or17ByDelta, 0u);
  for (int set = 0; set < 2; ++set)
    for (int r = 1; r <= 7; ++r) EXPECT_GT(c.sampleSet[set][r], 0u) << "set " << set << " resolution " << r;
  for (int p = 0; p < 4; ++p) EXPECT_GT(c.scfPattern[p], 0u) << "pattern " << p;
  EXPECT_GT(c.scfEscape, 0u);
  EXPECT_GT(c.earlyEndFrames, 0u);
  EXPECT_GT(c.msBits, 0u);
}

TEST(GeneratorCoverage, ExhaustiveVersions4To6ReachEveryElement) {
  const gen::Coverage c = CoverageOf({4, 5, 6}, Profile::Exhaustive, 2, 100);
  for (int i = 0; i < 16; ++i) EXPECT_GT(c.resIndexA[i], 0u) << "index " << i;
  for (int i = 0; i < 8; ++i) EXPECT_GT(c.resIndexB[i], 0u) << "index " << i;
  for (int i = 0; i < 4; ++i) EXPECT_GT(c.resIndexC[i], 0u) << "index " << i;
  for (int p = 0; p < 4; ++p)
    for (int f = 0; f < 2; ++f) EXPECT_GT(c.sv46Select[p][f], 0u) << "pattern " << p << " flag " << f;
  for (int r = 0; r <= 17; ++r) {
    if (r == 15 || r == 16) {
      EXPECT_EQ(c.sv46Resolution[r], 0u);  // no index maps there
    } else {
      EXPECT_GT(c.sv46Resolution[r], 0u) << "resolution " << r;
    }
  }
  EXPECT_GT(c.mixedSubbands, 0u);
  EXPECT_GT(c.msBits, 0u);
}

TEST(GeneratorCoverage, ExhaustiveVariesHeaderAndTag) {
  bool midSide[2] = {}, footerFlagBits = false;
  bool maxBandLow = false, maxBandHigh = false;
  bool sampleRate[4] = {};
  for (uint64_t seed = 1; seed <= 40; ++seed) {
    StreamOptions o = Options(seed % 2 ? 7 : 23, Profile::Exhaustive, seed, 2);
    o.tag = TagKind::Id3v2;
    const GeneratedStream s = GenerateStream(o);
    midSide[s.header.midSide] = true;
    maxBandLow |= s.header.maxBand <= 3;
    maxBandHigh |= s.header.maxBand >= 28;
    sampleRate[s.header.sampleRateIndex] = true;
    footerFlagBits |= (s.bytes[5] & 0xE0) != 0;
  }
  EXPECT_TRUE(midSide[0] && midSide[1]);
  EXPECT_TRUE(maxBandLow && maxBandHigh);
  EXPECT_TRUE(sampleRate[0] && sampleRate[1] && sampleRate[2] && sampleRate[3]);
  EXPECT_TRUE(footerFlagBits);  // the ignored flag bits 5-7 appear too
}

TEST(GeneratorCoverage, MusicLooksLikeMusic) {
  for (uint32_t v : kVersions) {
    SCOPED_TRACE("version " + std::to_string(v));
    StreamOptions o = Options(v, Profile::Music, 5, 400);
    const GeneratedStream s = GenerateStream(o);
    uint64_t bits = 0;
    uint32_t smallest = ~0u, largest = 0;
    for (const auto& f : s.frames) {
      bits += 20 + f.bodyBits;
      smallest = std::min(smallest, f.bodyBits);
      largest = std::max(largest, f.bodyBits);
    }
    const double averageBytes = static_cast<double>(bits) / 8 / static_cast<double>(s.frames.size());
    EXPECT_GE(averageBytes, 400);
    EXPECT_LE(averageBytes, 900);
    EXPECT_GT(smallest, 150u * 8);
    EXPECT_LT(largest, 1500u * 8);

    const gen::Coverage& c = s.coverage;
    uint64_t coded = 0, other = 0;
    if (v >= 7) {
      for (int r = -17; r <= 17; ++r)
        (r >= 1 && r <= 7 ? coded : r != 0 ? other : coded) += c.resolution[r + 17];
      uint64_t deltas = 0;
      for (uint64_t d : c.resDelta) deltas += d;
      EXPECT_LT(c.resEscape * 50, deltas);  // few escapes
      EXPECT_LT(c.scfEscape * 20, c.scfPattern[0] + c.scfPattern[1] + c.scfPattern[2] + c.scfPattern[3]);
    } else {
      for (int r = 0; r <= 17; ++r) (r <= 7 ? coded : other) += c.sv46Resolution[r];
    }
    EXPECT_LT(other * 100, coded);
  }
}

}  // namespace
}  // namespace velkscan::test

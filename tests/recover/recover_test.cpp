// The damage map and salvaged copy over generated files on disk, judged by
// where velkgen put the damage and by the undamaged stream; the CLI's glue.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <thread>
#include <vector>

#include "decoder/framedecoder.h"
#include "recover/damagemap.h"
#include "recover/salvage.h"
#include "scan/filecheck.h"
#include "stream/testfiles.h"
#include "support/memorystream.h"
#include "support/process.h"
#include "support/snapshot.h"
#include "support/streams.h"
#include "velkgen/random.h"

namespace velkscan {
namespace {

using test::Bytes;
using test::Has;
namespace fs = std::filesystem;

struct Checked {
  FileOutcome outcome;
  StreamInfo info{};
  DamageMap map;
};

// The scan's check of a file, then the map from its first failed frame (or from frame 0 of a whole file).
Checked CheckAndMap(const fs::path& path) {
  Checked c;
  FileCheck check;
  if (!check.Open(test::ToText(path), FileCheckOptions{false, false}, c.outcome)) return c;
  while (check.CheckFrame(c.outcome) == FileCheck::Step::kPassed) {
  }
  c.info = *check.info;
  const bool broken = c.outcome.status == FileStatus::kBroken;
  c.map = MapDamage(*check.stream, c.info, c.outcome.declaredFrames, broken ? c.outcome.goodFrames : 0,
                    broken ? c.outcome.failAt.value().bit : FirstFrameBit(c.info));
  return c;
}

// A bit of the file in the word grid of s's header, moved by align bytes.
int BitAt(const gen::GeneratedStream& s, const Bytes& bytes, uint64_t fileBit, uint32_t align = 0) {
  const uint64_t byte = s.ByteOfBit(fileBit) + align;
  return byte < bytes.size() ? (bytes[byte] >> gen::GeneratedStream::BitInByte(fileBit)) & 1 : -1;
}

bool SameBits(const gen::GeneratedStream& s, const Bytes& a, uint64_t atA, const Bytes& b, uint64_t atB,
              uint64_t count, uint32_t alignB = 0) {
  for (uint64_t i = 0; i < count; ++i)
    if (BitAt(s, a, atA + i) != BitAt(s, b, atB + i, alignB) || BitAt(s, a, atA + i) < 0) return false;
  return true;
}

// Each version with each kind of damage, in both profiles, with and without
// a tag, written to disk and mapped once for the tests below.
class DamageMapTest : public ::testing::Test {
 protected:
  struct Case {
    gen::GeneratedStream original, damaged;
    gen::DamageReport damage;
    fs::path path;
    Checked c;
    uint64_t base = 0;                // stream bit 0 as a bit of the file
    uint64_t wordLo = 0, wordHi = 0;  // the damaged bytes, widened to whole words
    std::string trace;
  };

  static void SetUpTestSuite() {
    // Every salvaged copy is synced: on a memory file system that takes no time.
    if (fs::is_directory("/dev/shm")) setenv("VELKSCAN_TEST_TMP", "/dev/shm", 1);
    dir_ = new test::ScratchDir(("recover_" + std::to_string(getpid()) + "_").c_str());
    for (uint32_t version : {4u, 5u, 6u, 7u, 23u}) {
      for (gen::DamageKind kind : gen::kAllDamageKinds) {
        for (uint64_t seed = 1; seed <= 3; ++seed) {
          Case k;
          const uint64_t streamSeed = seed * 7919 + version;
          k.original = gen::GenerateStream(
              test::Options(version, 30 + static_cast<uint32_t>(seed * 7 % 40), streamSeed,
                            seed % 3 == 0 ? gen::TagKind::Id3v2 : gen::TagKind::None,
                            seed % 2 ? gen::Profile::Music : gen::Profile::Exhaustive));
          k.damaged = k.original;
          k.damage = gen::ApplyDamage(k.damaged, kind, streamSeed);
          k.trace = std::string(gen::DamageName(kind)) + " v" + std::to_string(version) + ": " +
                    k.damage.description;
          k.path = *dir_ / ("in " + std::to_string(cases_.size()) + ".vlk");
          test::WriteBytes(k.path, k.damaged.bytes);
          k.c = CheckAndMap(k.path);
          if (k.c.outcome.status == FileStatus::kOk) continue;  // the damage changed no frame bit
          const gen::GeneratedStream& s = k.damaged;
          k.base = 8 * (static_cast<uint64_t>(s.headerPos) +
                        static_cast<uint64_t>(FirstFrameOf(int32_t(version)).byteOffset));
          // Bytes moved by other than whole words scramble the bit order of everything behind them.
          k.wordLo = s.headerPos + (k.damage.offset - s.headerPos) / 4 * 4;
          k.wordHi =
              k.damage.shift % 4 != 0
                  ? UINT64_MAX
                  : s.headerPos +
                        (k.damage.offset + std::max<uint64_t>(k.damage.length, 1) - 1 - s.headerPos) / 4 * 4 +
                        3;
          cases_.push_back(std::move(k));
        }
      }
    }
  }
  static void TearDownTestSuite() {
    cases_.clear();
    delete dir_;
  }

  static inline test::ScratchDir* dir_ = nullptr;
  static inline std::vector<Case> cases_;
};

TEST(DamageMap, AWholeFileMapsToNothing) {
  test::ScratchDir dir("recover_whole_");
  for (uint32_t version : {4u, 5u, 6u, 7u, 23u}) {
    const gen::GeneratedStream s = gen::GenerateStream(test::Options(version, 40, version));
    test::WriteBytes(dir / "whole.vlk", s.bytes);
    const Checked whole = CheckAndMap(dir / "whole.vlk");
    EXPECT_TRUE(whole.map.regions.empty() && whole.map.KeptFrames() == s.frames.size()) << version;
  }
}

// One word repeated behind a valid header, where nearly every bit starts a long frame that fails: the walk,
// all alignments together, stays within its budget (in bits parsed and read), and the region says it stopped.
TEST(DamageMap, TheSearchStopsAtItsBudgetAndSaysSo) {
  test::ScratchDir dir("recover_budget_");
  for (const size_t size : {size_t{4096}, size_t{3} << 20}) {
    gen::StreamOptions o = test::Options(6, 1, 1);
    o.maxBand = 31, o.midSide = true;
    Bytes bytes = gen::GenerateStream(o).bytes;
    bytes.resize(size);
    bytes[4] = 0xFF, bytes[5] = 0xFF, bytes[6] = 0, bytes[7] = 0;  // 65535 frames declared
    for (size_t i = 8; i < size; ++i) bytes[i] = i % 4 == 2 ? 0x08 : i % 4 == 0 ? 0x01 : 0;
    test::WriteBytes(dir / "crafted.vlk", bytes);
    const Checked c = CheckAndMap(dir / "crafted.vlk");
    const uint64_t budget = SearchBudget(8 * (size - 8));
    EXPECT_GT(c.map.work, budget) << size;
    EXPECT_LT(c.map.work, budget + budget / 100) << size;
    ASSERT_FALSE(c.map.regions.empty());
    EXPECT_TRUE(c.map.regions.back().searchLimited) << size;
  }
}

// Runs and regions tile the frames and the bits in order.
TEST_F(DamageMapTest, TheMapTilesTheStreamInOrder) {
  EXPECT_GT(cases_.size(), 75u);
  for (const Case& k : cases_) {
    SCOPED_TRACE(k.trace);
    const DamageMap& map = k.c.map;
    ASSERT_EQ(k.c.outcome.status, FileStatus::kBroken);
    ASSERT_EQ(map.end, DamageMap::End::kComplete);
    ASSERT_FALSE(map.regions.empty());
    ASSERT_EQ(map.runs.size(), map.regions.size() + 1);
    EXPECT_EQ(map.runs[0].frames, k.c.outcome.goodFrames);
    for (size_t i = 0; i < map.regions.size(); ++i) {
      const DamagedRegion& r = map.regions[i];
      EXPECT_TRUE(r.countKnown && !r.searchLimited);
      EXPECT_TRUE(r.firstFrame == map.runs[i].firstFrame + map.runs[i].frames &&
                  map.runs[i + 1].firstFrame == r.lastFrame + 1 && r.beginBit == map.runs[i].endBit &&
                  r.endBit == map.runs[i + 1].beginBit);
    }
  }
}

// A region is only where damage is (none is invented in sound data): a flipped length field costs just its
// frame, a cut or over-claimed file one stretch to the end.
TEST_F(DamageMapTest, RegionsLieOnlyOnTheDamage) {
  for (const Case& k : cases_) {
    SCOPED_TRACE(k.trace);
    const DamageMap& map = k.c.map;
    if (k.damage.kind == gen::DamageKind::Truncate || k.damage.kind == gen::DamageKind::OverClaim) {
      ASSERT_EQ(map.regions.size(), 1u);
      EXPECT_EQ(map.regions[0].firstFrame, *k.damage.exactGood);
      EXPECT_EQ(map.regions[0].lastFrame + 1, k.damaged.declaredFrameCount);
      EXPECT_TRUE(map.runs.size() == 2 && map.runs[1].frames == 0);
      continue;
    }
    for (size_t i = 0; i < map.regions.size(); ++i) {
      const DamagedRegion& r = map.regions[i];
      const ByteSpan bytes =
          BytesOfBits(k.c.info, r.beginBit, r.endBit, map.runs[i].align, map.runs[i + 1].align);
      EXPECT_TRUE(bytes.first <= k.wordHi && bytes.last >= k.wordLo)
          << "region bytes " << bytes.first << "-" << bytes.last << ", damage " << k.wordLo << "-"
          << k.wordHi;
    }
    if (k.damage.kind == gen::DamageKind::Flip) {
      EXPECT_TRUE(map.regions.size() == 1 && map.regions[0].firstFrame == *k.damage.exactGood &&
                  map.regions[0].lastFrame == *k.damage.exactGood);
    }
  }
}

// Every kept frame is the frame of that number in the undamaged stream, bit for bit, unless damaged bits lie
// in it: a frame can pass with damaged sample values. And the walk really goes on past the damage.
TEST_F(DamageMapTest, KeptFramesAreTheOriginalFramesBitForBit) {
  int resynced = 0;
  for (const Case& k : cases_) {
    SCOPED_TRACE(k.trace);
    const gen::GeneratedStream& s = k.damaged;
    resynced += k.c.map.GoodFramesAfter() > 0;
    for (const GoodRun& run : k.c.map.runs) {
      if (run.frames == 0) continue;
      ASSERT_LE(run.firstFrame + run.frames, k.original.frames.size());
      uint64_t at = k.base + run.beginBit;
      for (uint32_t f = run.firstFrame; f < run.firstFrame + run.frames; ++f) {
        const gen::FrameLayout& frame = k.original.frames[f];
        const uint64_t length = frame.EndBit() - frame.lengthFieldBit;
        const uint64_t lo = s.ByteOfBit(at) / 4 * 4, hi = s.ByteOfBit(at + length - 1) / 4 * 4 + 3;
        if (hi < k.wordLo || lo > k.wordHi) {
          EXPECT_TRUE(SameBits(s, s.bytes, at, k.original.bytes, frame.lengthFieldBit, length))
              << "frame " << f;
        }
        at += length;
      }
      EXPECT_EQ(at, k.base + run.endBit);
    }
  }
  EXPECT_GT(resynced, 20);
}

// The salvaged copy holds exactly the kept frames, the same bits, and checks
// whole; the original is only read; with nothing kept there is no copy.
TEST_F(DamageMapTest, TheSalvagedCopyHoldsExactlyTheKeptFrames) {
  for (const Case& k : cases_) {
    SCOPED_TRACE(k.trace);
    const DamageMap& map = k.c.map;
    const fs::path copy = *dir_ / "salvaged" / k.path.filename();
    fs::create_directories(copy.parent_path());
    FileStream source(OpenFileForScan(test::ToText(k.path), false));
    const SalvageResult result = WriteSalvage(source, k.c.info, map, test::ToText(copy));
    EXPECT_EQ(test::ReadBytes(k.path), k.damaged.bytes) << "the original was written";
    if (map.KeptFrames() == 0) {
      EXPECT_EQ(result.status, SalvageResult::Status::kNothingKept);
      EXPECT_FALSE(fs::exists(copy));
      continue;
    }
    ASSERT_EQ(result.status, SalvageResult::Status::kWritten);
    const Checked salvaged = CheckAndMap(copy);
    EXPECT_EQ(salvaged.outcome.status, FileStatus::kOk);
    EXPECT_TRUE(salvaged.outcome.goodFrames == map.KeptFrames() &&
                salvaged.outcome.declaredFrames == map.KeptFrames());
    EXPECT_EQ(salvaged.info.maxBand + salvaged.info.midSide * 64, k.c.info.maxBand + k.c.info.midSide * 64);
    const Bytes out = test::ReadBytes(copy);
    const gen::GeneratedStream& s = k.damaged;
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + s.headerPos + 4, s.bytes.begin()));
    uint64_t at = k.base + FirstFrameBit(k.c.info);
    for (const GoodRun& run : map.runs) {
      EXPECT_TRUE(SameBits(s, out, at, s.bytes, k.base + run.beginBit, run.endBit - run.beginBit, run.align));
      at += run.endBit - run.beginBit;
    }
    fs::remove(copy);
  }
}

// A frame's bits as a string, from the file bit of its length field (bits
// counted in the word grid of a file whose header is where s has it).
std::string FrameBits(const gen::GeneratedStream& s, const Bytes& bytes, uint64_t at) {
  uint64_t length = 20;
  for (uint64_t i = 0; i < 20; ++i) length += uint64_t(BitAt(s, bytes, at + i) == 1) << (19 - i);
  std::string bits;
  for (uint64_t i = 0; i < length; ++i) bits += static_cast<char>('0' + BitAt(s, bytes, at + i));
  return bits;
}

// Stream bits of the original, [first, second) as file bits in its word grid; an empty one is a cut between
// two bits, which reaches the frame across it.
using BitSpans = std::vector<std::pair<uint64_t, uint64_t>>;
uint64_t WordBit(const gen::GeneratedStream& s, uint64_t byte) {
  return 8 * (static_cast<uint64_t>(s.headerPos) + (byte - s.headerPos) / 4 * 4);
}

// Maps the damaged file at path and salvages it: the copy checks whole, and holds frames of the original in
// order, bit for bit (or, where damaged bits lie in one, that frame changed); every frame that no damaged bit
// reaches (nor, with besideToo, one beside such a frame) is among them.
DamageMap ExpectCopyKeepsUntouched(const fs::path& path, const gen::GeneratedStream& original,
                                   const BitSpans& damaged, bool besideToo = false) {
  const Checked c = CheckAndMap(path);
  EXPECT_EQ(c.map.end, DamageMap::End::kComplete);
  const fs::path copy = path.string() + ".copy";
  FileStream source(OpenFileForScan(test::ToText(path), false));
  EXPECT_EQ(WriteSalvage(source, c.info, c.map, test::ToText(copy)).status, SalvageResult::Status::kWritten);
  const Checked salvaged = CheckAndMap(copy);
  EXPECT_TRUE(salvaged.outcome.status == FileStatus::kOk &&
              salvaged.outcome.goodFrames == c.map.KeptFrames());
  const Bytes out = test::ReadBytes(copy);
  const size_t n = original.frames.size();
  std::vector<std::string> frames;
  std::vector<bool> touched(n + 2), kept(n);  // touched[f + 1] for frame f
  for (size_t f = 0; f < n; ++f) {
    const gen::FrameLayout& frame = original.frames[f];
    frames.push_back(FrameBits(original, original.bytes, frame.lengthFieldBit));
    touched[f + 1] = std::any_of(damaged.begin(), damaged.end(), [&](const auto& span) {
      return frame.lengthFieldBit < span.second && frame.EndBit() > span.first;
    });
  }
  size_t next = 0;  // the original's frames before it are behind the copy's
  for (uint64_t at = original.frames[0].lengthFieldBit, i = 0; i < salvaged.outcome.goodFrames; ++i) {
    const std::string bits = FrameBits(original, out, at);
    at += bits.size();
    size_t f = next;
    while (f < n && frames[f] != bits) ++f;
    if (f == n) {  // a damaged frame that passes: its bits changed
      f = next;
      while (f < n && !touched[f + 1]) ++f;
      EXPECT_LT(f, n) << "kept frame " << i << " is no frame of the original";
      if (f == n) break;
    }
    kept[f] = true;
    next = f + 1;
  }
  for (size_t f = 0; f < n; ++f) {
    EXPECT_TRUE(kept[f] || touched[f + 1] || (besideToo && (touched[f] || touched[f + 2])))
        << "frame " << f << " of " << n << " lost";
  }
  return c.map;
}

// Bytes inserted or lost move the frames behind them into another byte
// alignment: every version, 1 to 17 bytes each way, in the middle of a frame
// (or of its length field). One stretch; lost at most the frames whose words
// the bytes split (a cut between two words: the frame across it), and one
// on each side: a frame whose moved tail holds only fixed-width samples
// still passes, and its declared end lies past the start of the next frame.
TEST(DamageMap, FramesBehindInsertedOrLostBytesAreKept) {
  if (fs::is_directory("/dev/shm")) setenv("VELKSCAN_TEST_TMP", "/dev/shm", 1);  // the copies are synced
  test::ScratchDir dir("recover_shift_");
  for (const uint32_t version : {4u, 5u, 6u, 7u, 23u}) {
    // Short files: behind the shift, the search of each alignment runs to the end of the file.
    gen::StreamOptions options = test::Options(version, 12, version);
    options.maxBand = 24;
    const gen::GeneratedStream original = gen::GenerateStream(options);
    for (int64_t shift = -17; shift <= 17; shift += shift == -1 ? 2 : 1) {
      SCOPED_TRACE("v" + std::to_string(version) + " shift " + std::to_string(shift));
      const uint64_t at = original.ByteOfBit(original.frames[8].lengthFieldBit) +
                          static_cast<uint64_t>(shift + 17) * 23 % 400;
      Bytes bytes = original.bytes;
      const uint64_t first = WordBit(original, at);
      uint64_t end = first + ((at - original.headerPos) % 4 != 0 ? 32 : 0);
      if (shift > 0) {
        gen::InsertBytes(bytes, at, Bytes(static_cast<size_t>(shift), 0xA5));
      } else {
        gen::DeleteBytes(bytes, at, static_cast<size_t>(-shift));
        end = WordBit(original, at - shift - 1) + 32;
      }
      const fs::path path = dir / "shifted.vlk";
      test::WriteBytes(path, bytes);
      const DamageMap map = ExpectCopyKeepsUntouched(path, original, {{first, end}}, true);
      ASSERT_EQ(map.regions.size(), 1u);
      EXPECT_EQ(map.runs[1].align, static_cast<uint32_t>((shift % 4 + 4) % 4));
      fs::remove(path.string() + ".copy");
    }
  }
}

// The length field of every Nth frame zeroed, in both profiles: the runs
// between are shorter than any fixed count a search could ask for, and every
// frame that passes is kept - but one frame alone behind the last damage,
// ending the file, which the search cannot tell from chance.
TEST(DamageMap, DamageEveryNFramesKeepsEveryPassingFrame) {
  if (fs::is_directory("/dev/shm")) setenv("VELKSCAN_TEST_TMP", "/dev/shm", 1);
  test::ScratchDir dir("recover_repeat_");
  for (const uint32_t every : {4u, 7u, 16u}) {
    for (const uint32_t version : {4u, 7u, 23u}) {
      SCOPED_TRACE("every " + std::to_string(every) + ", v" + std::to_string(version));
      const gen::GeneratedStream original =
          gen::GenerateStream(test::Options(version, 101, every + version, gen::TagKind::None,
                                            version == 7 ? gen::Profile::Exhaustive : gen::Profile::Music));
      gen::GeneratedStream damaged = original;
      BitSpans zeroed;  // each byte's own bits in its word
      for (const uint64_t byte : gen::ZeroEveryLengthField(damaged, every)) {
        const uint64_t bit = WordBit(original, byte) + 8 * (3 - (byte - original.headerPos) % 4);
        zeroed.emplace_back(bit, bit + 8);
      }
      test::WriteBytes(dir / "repeat.vlk", damaged.bytes);
      const DamageMap map = ExpectCopyKeepsUntouched(dir / "repeat.vlk", original, zeroed);
      EXPECT_EQ(map.regions.size(), (original.frames.size() - 1) / every);
      fs::remove(dir / "repeat.vlk.copy");
    }
  }
  gen::GeneratedStream lone = gen::GenerateStream(test::Options(7, 100, 14));
  gen::ZeroEveryLengthField(lone, 7);  // frame 98 the last damaged
  test::WriteBytes(dir / "lone.vlk", lone.bytes);
  const DamageMap map = CheckAndMap(dir / "lone.vlk").map;
  EXPECT_EQ(map.runs.back().frames, 0u);  // frame 99 not taken
}

// Bytes three in four zero behind a valid header: two frames pass in a row
// there (found by mapping such data), which on bytes as varied as a stream's
// would be past chance, but sparse fields carry only a few bits each.
TEST(DamageMap, SparseBytesNeedALongerRunThanAStream) {
  gen::StreamOptions o;
  o.streamVersion = 23, o.frameCount = 1, o.seed = 1051, o.maxBand = 31, o.midSide = true;
  gen::GeneratedStream s = gen::GenerateStream(o);
  gen::OverClaim(s.bytes, s.headerPos, 23, 1 << 24);
  s.bytes.resize(static_cast<size_t>(s.headerPos) + FirstFrameOf(23).byteOffset + 4);
  gen::Rng rng(10514);
  for (int i = 0; i < 128 << 10; ++i)
    s.bytes.push_back(rng.Below(4) == 0 ? static_cast<uint8_t>(rng.Bits(8)) : 0);
  MemoryStream stream(s.bytes);
  StreamInfo info{};
  ASSERT_EQ(ReadStreamHeader(info, stream), HeaderResult::kOk);
  const DamageMap map = MapDamage(stream, info, info.frameCount, 0, FirstFrameBit(info));
  EXPECT_EQ(map.KeptFrames(), 0u);
}

// Version 4 stores the count plus one in 16 bits: 65534 kept frames is the most it holds (a map that claims
// them is written, then found not to check whole and removed).
TEST_F(DamageMapTest, AVersion4CopyHoldsAtMost65534Frames) {
  const fs::path path = *dir_ / "v4.vlk";
  test::WriteBytes(path, gen::GenerateStream(test::Options(4, 40, 1)).bytes);
  Checked c = CheckAndMap(path);
  for (const uint32_t kept : {65534u, 65535u}) {
    c.map.runs.back().frames = kept;
    FileStream source(OpenFileForScan(test::ToText(path), false));
    const fs::path copy = *dir_ / ("v4 " + std::to_string(kept) + ".vlk");
    EXPECT_EQ(WriteSalvage(source, c.info, c.map, test::ToText(copy)).status,
              kept == 65534 ? SalvageResult::Status::kCheckFailed : SalvageResult::Status::kCountTooLarge);
    EXPECT_FALSE(fs::exists(copy));
  }
}

// No copy where the header was not read whole, its version is one without a frame parser, or it lies nowhere:
// each alone is enough.
TEST_F(DamageMapTest, NoCopyOfAFileWithoutAHeaderToWrite) {
  const fs::path path = *dir_ / "v7.vlk";
  test::WriteBytes(path, gen::GenerateStream(test::Options(7, 40, 1)).bytes);
  const Checked c = CheckAndMap(path);
  void (*const faults[])(StreamInfo&) = {[](StreamInfo& i) { i.fieldsRead = false; },
                                         [](StreamInfo& i) { i.streamVersion = 99; },
                                         [](StreamInfo& i) { i.headerPos = -1; }};
  for (const auto fault : faults) {
    StreamInfo info = c.info;
    fault(info);
    FileStream source(OpenFileForScan(test::ToText(path), false));
    const fs::path copy = *dir_ / "copy.vlk";
    EXPECT_EQ(WriteSalvage(source, info, c.map, test::ToText(copy)).status,
              SalvageResult::Status::kNotRewritten);
    EXPECT_FALSE(fs::exists(copy));
  }
}

// A stretch found again only by the bit search has its frames estimated; where a later one was searched too,
// the file's end cannot settle the earlier count, and the map line says so.
TEST(DamageMapCli, AStretchBehindAnotherSearchedOneIsEstimated) {
  test::ScratchDir dir("recover_estimated_");
  for (const int stretches : {1, 2}) {
    Bytes bytes = gen::GenerateStream(test::Options(7, 200, 9)).bytes;
    for (int i = 1; i <= stretches; ++i) gen::ZeroBlock(bytes, bytes.size() * i / 3 / 4 * 4);
    const fs::path path = dir / (std::to_string(stretches) + ".vlk");
    test::WriteBytes(path, bytes);
    const test::ProcessResult r = test::Run(VELKSCAN_CLI, {"--priority", "normal", "--map", path.string()});
    int mapLines = 0;
    for (const std::string& line : test::Lines(r.out)) {
      if (line.rfind("    damaged: ", 0) != 0) continue;
      ++mapLines;
      EXPECT_EQ(Has(line, " (estimated), bytes "), stretches == 2) << r.out;
    }
    EXPECT_EQ(mapLines, stretches) << r.out;
  }
}

// A generated file, damaged (or not, for OverClaim), written to path.
Bytes MakeFile(const fs::path& path, uint32_t version, gen::DamageKind kind, uint32_t frames = 120) {
  gen::GeneratedStream s = gen::GenerateStream(test::Options(version, frames, 1));
  if (kind != gen::DamageKind::OverClaim) gen::ApplyDamage(s, kind, 5);
  test::WriteBytes(path, s.bytes);
  return s.bytes;
}

// --map and --salvage through velkscan-cli, over a private broken file that
// loses one frame (flip.vlk) and others beside it.
class SalvageCli : public ::testing::Test {
 protected:
  test::ProcessResult Cli(std::vector<std::string> args, const test::ProcessOptions& options = {}) {
    args.insert(args.begin(), {"--priority", "normal"});
    return test::Run(VELKSCAN_CLI, args, options);
  }
  std::string P(const std::string& name) const { return (dir_ / name).string(); }
  test::ScratchDir dir_{"recover_cli_"};
  const Bytes flipped_ = MakeFile(dir_ / "flip.vlk", 4, gen::DamageKind::Flip);
  const std::string flip_ = P("flip.vlk"), out_ = P("out/x");
  const std::string salvaged_ = flip_ + ": salvaged 119 of 120 frames (00:03) to ";
};

// Each map line right under its file's broken line, in its form.
TEST_F(SalvageCli, MapLinesFollowTheBrokenLineInTheirForm) {
  MakeFile(dir_ / "zero.vlk", 7, gen::DamageKind::Zero);
  const test::ProcessResult r = Cli({"--map", flip_, P("zero.vlk")});
  EXPECT_EQ(r.status, 1) << r.err;
  int mapLines = 0;
  for (size_t at = 0; (at = r.out.find("\n    damaged: ", at)) != std::string::npos; ++at, ++mapLines) {
    const size_t lineStart = r.out.rfind('\n', at - 1) + 1, end = r.out.find('\n', at + 1);
    EXPECT_NE(r.out.substr(lineStart, at - lineStart).find(": broken after frame "), std::string::npos);
    const std::string line = r.out.substr(at + 1, end - at - 1);
    unsigned v[11];
    int used = 0;
    EXPECT_EQ(
        std::sscanf(line.c_str(),
                    "    damaged: frames %u-%u, bytes %u-%u, %u:%u-%u:%u; %u good frames (%u:%u) follow%n",
                    &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], &v[9], &v[10], &used),
        11);
    EXPECT_EQ(static_cast<size_t>(used), line.size()) << line;
  }
  EXPECT_EQ(mapLines, 2) << r.out;
}

// A copy goes to its file's relative path under DIR, or by its name for a file given itself or one whose
// relative part climbs out of DIR; a whole file gets none, the original is only read, a private file's copy
// is private too.
TEST_F(SalvageCli, ACopyGoesUnderItsRelativePathOrByItsName) {
  const Bytes zeroed = MakeFile(dir_ / "lib/sub/zero.vlk", 7, gen::DamageKind::Zero);
  MakeFile(dir_ / "lib/whole.vlk", 5, gen::DamageKind::OverClaim);
  MakeFile(dir_ / "w/esc.vlk", 4, gen::DamageKind::Flip);
  fs::permissions(flip_, fs::perms::owner_read | fs::perms::owner_write);
  const std::string lib = P("lib");
  const test::ProcessResult r = Cli({"--salvage", out_, lib, flip_, lib + "/../w/esc.vlk"});
  EXPECT_EQ(r.status, 1) << r.err;
  const size_t zeroLine = r.out.find(lib + "/sub/zero.vlk: salvaged ");
  EXPECT_NE(r.out.find(" of 120 frames (00:0", zeroLine), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(") to " + out_ + "/sub/zero.vlk.\n", zeroLine), std::string::npos) << r.out;
  EXPECT_TRUE(Has(r.out, salvaged_ + out_ + "/flip.vlk.\n")) << r.out;
  EXPECT_TRUE(Has(r.out, "/esc.vlk: salvaged 119 of 120 frames (00:03) to " + out_ + "/esc.vlk.\n")) << r.out;
  EXPECT_FALSE(fs::exists(dir_ / "out/w") || fs::exists(fs::path(out_) / "whole.vlk"));
  EXPECT_EQ(test::ReadBytes(dir_ / "lib/sub/zero.vlk"), zeroed);
  EXPECT_EQ(fs::status(out_ + "/flip.vlk").permissions() & (fs::perms::group_all | fs::perms::others_all),
            fs::perms::none);
}

// A copy that is there already is left be, a link in DIR is never
// followed: each a copy asked for and not written.
TEST_F(SalvageCli, NoCopyOverAFileOrOutThroughALink) {
  MakeFile(dir_ / "lib/w/l.vlk", 4, gen::DamageKind::Flip);
  ASSERT_EQ(Cli({"--salvage", out_, flip_}).status, 1);
  fs::create_directories(dir_ / "elsewhere");
  fs::create_directory_symlink(dir_ / "elsewhere", fs::path(out_) / "w");
  const test::ProcessResult again = Cli({"--salvage", out_, flip_, P("lib")});
  EXPECT_TRUE(Has(again.out, flip_ + ": not salvaged, writing " + out_ + "/flip.vlk failed (File exists).\n"))
      << again.out;
  EXPECT_TRUE(Has(again.out, "/w/l.vlk failed (" + out_ + "/w: a link or not a folder).\n")) << again.out;
  EXPECT_TRUE(fs::is_empty(dir_ / "elsewhere"));
  EXPECT_EQ(again.status, 4);
}

// A folder of DIR swapped with a link out of it (an atomic exchange, over and over) while copies go into it:
// in no round does a byte land outside, and every copy said written is in the real folder, none left partial.
TEST_F(SalvageCli, NoSwapOfAFolderAndALinkCarriesACopyOut) {
  for (int i = 0; i < 60; ++i)
    MakeFile(dir_ / "tree/sub" / ("f" + std::to_string(i) + ".vlk"), 4, gen::DamageKind::Flip);
  const fs::path out = dir_ / "out", real = out / "real";
  for (int round = 0; round < 6; ++round) {
    fs::remove_all(out);
    fs::create_directories(dir_ / "outside");
    fs::create_directories(out / "sub");
    fs::create_directory_symlink(dir_ / "outside", out / "lnk");
    std::atomic<bool> done{false};
    std::thread swapper([&] {
      while (!done)
        ::renameat2(AT_FDCWD, (out / "sub").c_str(), AT_FDCWD, (out / "lnk").c_str(), RENAME_EXCHANGE);
    });
    const test::ProcessResult r = Cli({"--salvage", out.string(), P("tree")});
    done = true;
    swapper.join();
    ASSERT_TRUE(fs::is_empty(dir_ / "outside")) << "round " << round << "\n" << r.out;
    // The real folder, whichever of the two names it has now.
    fs::rename(fs::is_symlink(out / "sub") ? out / "lnk" : out / "sub", real);
    size_t said = 0;
    for (size_t at = 0; (at = r.out.find(") to " + out.string() + "/sub/", at)) != std::string::npos;
         ++said) {
      at = r.out.find("/sub/", at) + 5;
      const std::string name = r.out.substr(at, r.out.find(".\n", at) - at);
      EXPECT_TRUE(fs::is_regular_file(real / name)) << name << "\n" << r.out;
    }
    size_t files = 0;
    for (const auto& entry : fs::directory_iterator(real))
      files += !IsPartialName(entry.path().filename().string());
    EXPECT_EQ(files, said) << r.out;
    EXPECT_EQ(std::distance(fs::directory_iterator(real), fs::directory_iterator()),
              static_cast<long>(files));
  }
}

// A file size limit fails one copy like a full disk, leaves nothing of it, and the next file is salvaged.
TEST_F(SalvageCli, AFileSizeLimitFailsOnlyTheCopyItStops) {
  MakeFile(dir_ / "big.vlk", 7, gen::DamageKind::Flip, 1500);
  const test::ProcessResult full = Cli({"--salvage", out_, P("big.vlk"), flip_},
                                       {.prefix = {"/bin/sh", "-c", "ulimit -f 200; exec \"$0\" \"$@\""}});
  EXPECT_TRUE(Has(full.out, "/big.vlk failed (File too large).\n")) << full.out << full.err;
  EXPECT_TRUE(Has(full.out, salvaged_)) << full.out;
  EXPECT_EQ(full.status, 4);
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(out_)) left.push_back(entry.path().filename().string());
  EXPECT_EQ(left, std::vector<std::string>{"flip.vlk"});
}

// Killed in the middle of a copy: nothing under the final name, and the
// next run into that folder names what was left.
TEST_F(SalvageCli, AKilledCopyIsNeverTakenForACopy) {
  EXPECT_EQ(
      Cli({"--salvage", out_, flip_}, test::FailIo("VELKSCAN_KILL_WRITE=.velkscan-partial:4096")).status,
      128 + SIGKILL);
  EXPECT_FALSE(fs::exists(out_ + "/flip.vlk"));
  const test::ProcessResult after = Cli({"--salvage", out_, flip_});
  EXPECT_TRUE(
      Has(after.out,
          ".velkscan-partial: left over from an interrupted salvage, not a salvaged copy.\n" + salvaged_))
      << after.out;
}

// JSON: the damage array, and a copy's name that is not UTF-8 in hex too.
TEST_F(SalvageCli, JsonCarriesTheMapWithTheCopysExactName) {
  const fs::path odd = dir_ / "odd\xff.vlk";
  fs::copy_file(flip_, odd);
  const std::string hexOf = out_ + "/odd\xff.vlk";
  const test::ProcessResult json = Cli({"--json", "--map", "--salvage", out_, odd.string()});
  EXPECT_TRUE(Has(json.out, "\"damage\":[{\"firstFrame\":")) << json.out;
  EXPECT_TRUE(Has(json.out, "],\"damageMapComplete\":true,\"damageMapStop\":null,\"goodFramesAfter\":"))
      << json.out;
  EXPECT_TRUE(Has(json.out, "\"salvage\":{\"path\":\"" + out_ + "/odd\xef\xbf\xbd.vlk\",\"pathHex\":\"" +
                                test::Hex(Bytes(hexOf.begin(), hexOf.end())) + "\""))
      << json.out;
}

// A version 6 or 7 header that declares no frames, 50 frames behind it that
// pass: map and salvage follow them to the end of the file and say that the
// header disagrees; the scan's own line stays as it is.
TEST_F(SalvageCli, AHeaderThatDeclaresNoFramesIsFollowedToTheEnd) {
  for (const uint32_t version : {6u, 7u}) {
    gen::GeneratedStream s = gen::GenerateStream(test::Options(version, 50, version));
    gen::OverClaim(s.bytes, s.headerPos, version, 0);
    const std::string name = "none" + std::to_string(version) + ".vlk";
    test::WriteBytes(dir_ / name, s.bytes);
    const test::ProcessResult text = Cli({"--map", "--salvage", out_, P(name)});
    EXPECT_TRUE(
        Has(text.out, name +
                          ": broken after frame 0/0 (00:00)\n    its header declares no frames, but 50 "
                          "frames (00:01) pass up to the end of the file\n" +
                          P(name) + ": salvaged 50 frames (00:01) to " + out_ + "/" + name +
                          ", though its header declares none.\n"))
        << text.out;
    const Bytes copy = test::ReadBytes(out_ + "/" + name);
    gen::OverClaim(s.bytes, s.headerPos, version, 50);
    EXPECT_EQ(copy, s.bytes);
  }
}

// Files past 2 and 4 GiB, sparse: the frames of a generated file with a
// hole in the middle, found again behind it by the bit search.
TEST(DamageMapCli, OffsetsPastEach32BitLimit) {
  if (!fs::is_directory("/dev/shm")) GTEST_SKIP() << "holes are read fast only from memory";
  setenv("VELKSCAN_TEST_TMP", "/dev/shm", 1);
  test::ScratchDir dir("recover_sparse_");
  const Bytes bytes = gen::GenerateStream(test::Options(7, 120, 3)).bytes;
  const size_t cut = 24 + (bytes.size() / 2 - 24) / 4 * 4;  // whole words after the header
  for (const auto& [name, hole] : {std::pair{"2g.vlk", (2ull << 30) + 4096}, {"4g.vlk", (44ull << 28)}}) {
    std::FILE* f = std::fopen((dir / name).c_str(), "wb");
    ASSERT_TRUE(f != nullptr);
    std::fwrite(bytes.data(), 1, cut, f);
    ASSERT_EQ(fseeko(f, static_cast<off_t>(cut + hole), SEEK_SET), 0);
    std::fwrite(bytes.data() + cut, 1, bytes.size() - cut, f);
    ASSERT_EQ(std::fclose(f), 0);
  }
  const test::ProcessResult r =
      test::Run(VELKSCAN_CLI, {"--priority", "normal", "--map", "--salvage", (dir / "out").string(),
                               (dir / "2g.vlk").string(), (dir / "4g.vlk").string()});
  EXPECT_TRUE(Has(r.out, "2g.vlk: salvaged 119 of 120 frames (00:03) to ")) << r.out;
  EXPECT_TRUE(Has(r.out,
                  "4g.vlk: broken after frame 61/120 (00:01)\n    damage map incomplete: stopped at byte "
                  "4294967320, past the 4 GiB a file position reaches\n"))
      << r.out;
}

// One 32-bit word repeated behind a valid header makes nearly every bit position start a frame that parses
// long: the search stops at its budget and says so, rather than take most of an hour for a large file.
TEST(DamageMapCli, AdversarialBytesStopTheSearchAtItsLimit) {
  test::ScratchDir dir("recover_worst_");
  gen::StreamOptions o;
  o.streamVersion = 6, o.frameCount = 1, o.maxBand = 31, o.midSide = true;
  Bytes bytes = gen::GenerateStream(o).bytes;
  bytes.resize(8 + (64 << 10));
  bytes[4] = 0xFF, bytes[5] = 0xFF, bytes[6] = 0, bytes[7] = 0;
  for (size_t i = 8; i < bytes.size(); i += 4)
    bytes[i] = 0x01, bytes[i + 1] = 0, bytes[i + 2] = 0x08, bytes[i + 3] = 0;
  test::WriteBytes(dir / "worst.vlk", bytes);
  const test::ProcessResult r =
      test::Run(VELKSCAN_CLI, {"--priority", "normal", "--map", (dir / "worst.vlk").string()});
  EXPECT_TRUE(Has(r.out, "    damaged: frames 1-65535, bytes 8-65543 (search limit), ")) << r.out;
}

}  // namespace
}  // namespace velkscan

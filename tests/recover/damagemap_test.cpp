// The damage map over generated files on disk, judged by where velkgen put the damage and by the
// undamaged stream; its lines through velkscan-cli --map.
#include "recovertest.h"

namespace velkscan {

TEST(DamageMap, AWholeFileMapsToNothing) {
  test::ScratchDir dir("recover_whole_");
  for (uint32_t version : {4u, 5u, 6u, 7u, 23u}) {
    const gen::GeneratedStream s = gen::GenerateStream(test::Options(version, 40, version));
    test::WriteBytes(dir / "whole.vlk", s.bytes);
    const Checked whole = CheckAndMap(dir / "whole.vlk");
    EXPECT_TRUE(whole.map.regions.empty() && whole.map.KeptFrames() == s.frames.size()) << version;
  }
}

// One word repeated behind a valid header: 00080001 makes nearly every bit start a long frame that fails,
// 000f000f holds a length field at nearly every bit that is turned down before a parse. The walk, all
// alignments together, stays within its budget (what it cost, as bits of a check: a small file's no more
// than its size and a check's set-up earn), and the region says it stopped.
TEST(DamageMap, TheSearchStopsAtItsBudgetAndSaysSo) {
  test::ScratchDir dir("recover_budget_");
  for (const size_t size : {size_t{4096}, size_t{1} << 20}) {
    for (const auto& [low, high] : {std::pair<uint8_t, uint8_t>{0x01, 0x08}, {0x0F, 0x0F}}) {
      gen::StreamOptions o = test::Options(6, 1, 1);
      o.maxBand = 31, o.midSide = true;
      Bytes bytes = gen::GenerateStream(o).bytes;
      bytes.resize(size);
      bytes[4] = 0xFF, bytes[5] = 0xFF, bytes[6] = 0, bytes[7] = 0;  // 65535 frames declared
      for (size_t i = 8; i < size; ++i) bytes[i] = i % 4 == 2 ? high : i % 4 == 0 ? low : 0;
      test::WriteBytes(dir / "crafted.vlk", bytes);
      const Checked c = CheckAndMap(dir / "crafted.vlk");
      const uint64_t budget = SearchBudget(8 * (size - 8));
      EXPECT_GT(c.map.work, budget) << size;
      EXPECT_LT(c.map.work, std::min(budget + budget / 100, 50 * (8 * size + kSetupBits))) << size;
      ASSERT_FALSE(c.map.regions.empty());
      EXPECT_TRUE(c.map.regions.back().searchLimited) << size << " " << int{high};
    }
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

// The middle of a stream's frames, in whole words after its header: where a test puts a hole.
static size_t MiddleWord(const gen::GeneratedStream& s) {
  const size_t at = static_cast<size_t>(s.headerPos) + 24;
  return at + ((s.bytes.size() - at + 24) / 2 - 24) / 4 * 4;
}

// A hole of zeros in the middle of a stream is read once, in the stream's own alignment (no frame lies in
// another where it holds only zeros): the walk over it costs little more than a check of its bits.
TEST(DamageMap, AHoleOfZerosIsReadOnce) {
  const gen::GeneratedStream s = gen::GenerateStream(test::Options(7, 120, 3));
  Bytes bytes = s.bytes;
  bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(MiddleWord(s)), 1 << 20, 0);
  MemoryStream stream(bytes);
  StreamInfo info{};
  ASSERT_EQ(ReadStreamHeader(info, stream), HeaderResult::kOk);
  const DamageMap map = MapDamage(stream, info, info.frameCount, 0, FirstFrameBit(info));
  EXPECT_EQ(map.KeptFrames(), 119u);
  EXPECT_LT(map.work, 2 * (8 * bytes.size() + kSetupBits));
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

// Files past 2 and 4 GiB, sparse: the frames of a generated file with a
// hole in the middle, found again behind it by the bit search. In the 4 GiB
// one a tag puts the start of a block on the last byte a position reaches:
// that block is still read, the next one is not.
TEST(DamageMapCli, OffsetsPastEach32BitLimit) {
  if (!fs::is_directory("/dev/shm")) GTEST_SKIP() << "holes are read fast only from memory";
  setenv("VELKSCAN_TEST_TMP", "/dev/shm", 1);
  test::ScratchDir dir("recover_sparse_");
  gen::StreamOptions tagged = test::Options(7, 120, 3, gen::TagKind::Id3v2);
  tagged.tagBodySize = 32768 - 10 - 24 - 2;  // the first frame at byte 32766
  for (const auto& [name, hole, options] :
       {std::tuple{"2g.vlk", (2ull << 30) + 4096, test::Options(7, 120, 3)},
        {"4g.vlk", (44ull << 28), tagged}}) {
    const gen::GeneratedStream s = gen::GenerateStream(options);
    const Bytes& bytes = s.bytes;
    const size_t cut = MiddleWord(s);
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
                  "4295000062, past the 4 GiB a file position reaches\n"))
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
  // Without --map, the salvage's line says it.
  const test::ProcessResult s =
      test::Run(VELKSCAN_CLI,
                {"--priority", "normal", "--salvage", (dir / "out").string(), (dir / "worst.vlk").string()});
  EXPECT_TRUE(Has(s.out,
                  "worst.vlk: not salvaged, no frame passed; the search stopped at its limit, the rest of "
                  "the file was not searched.\n"))
      << s.out;
}

}  // namespace velkscan

// The damage map and salvaged copy over generated files on disk, judged by
// where velkgen put the damage and by the undamaged stream; the CLI's glue.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <vector>

#include "decoder/framedecoder.h"
#include "recover/damagemap.h"
#include "recover/salvage.h"
#include "scan/filecheck.h"
#include "stream/testfiles.h"
#include "support/process.h"
#include "support/snapshot.h"
#include "velkgen/generator.h"

namespace velkscan {
namespace {

using test::Bytes;
namespace fs = std::filesystem;

struct Checked {
  FileOutcome outcome;
  StreamInfo info{};
  DamageMap map;
};

// The scan's check of a file, then the map from its first failed frame (or
// from frame 0 of a whole file).
Checked CheckAndMap(const fs::path& path) {
  Checked c;
  FileCheck check;
  if (!check.Open(test::ToText(path), FileCheckOptions{false, false}, c.outcome)) return c;
  while (check.CheckFrame(c.outcome) == FileCheck::Step::kPassed) {
  }
  c.info = *check.info;
  const bool broken = c.outcome.status == FileStatus::kBroken;
  c.map = MapDamage(*check.stream, c.info, c.outcome.declaredFrames, broken ? c.outcome.goodFrames : 0,
                    broken ? c.outcome.failBit : FirstFrameBit(c.info));
  return c;
}

int BitAt(const gen::GeneratedStream& s, const Bytes& bytes, uint64_t fileBit) {
  const uint64_t byte = s.ByteOfBit(fileBit);
  return byte < bytes.size() ? (bytes[byte] >> gen::GeneratedStream::BitInByte(fileBit)) & 1 : -1;
}

bool SameBits(const gen::GeneratedStream& s, const Bytes& a, uint64_t atA, const Bytes& b, uint64_t atB,
              uint64_t count) {
  for (uint64_t i = 0; i < count; ++i)
    if (BitAt(s, a, atA + i) != BitAt(s, b, atB + i) || BitAt(s, a, atA + i) < 0) return false;
  return true;
}

TEST(DamageMap, FindsEveryDamageKeepsOnlyTrueFramesAndSalvagesThemWhole) {
  // Every salvaged copy is synced: on a memory file system that takes no time.
  if (fs::is_directory("/dev/shm")) setenv("VELKSCAN_TEST_TMP", "/dev/shm", 1);
  test::ScratchDir dir(("recover_" + std::to_string(getpid()) + "_").c_str());
  int mapped = 0, resynced = 0;
  for (uint32_t version : {4u, 5u, 6u, 7u, 23u}) {
    for (gen::DamageKind kind : gen::kAllDamageKinds) {
      for (uint64_t seed = 1; seed <= 3; ++seed) {
        gen::StreamOptions o;
        o.streamVersion = version;
        o.seed = seed * 7919 + version;
        o.frameCount = 30 + static_cast<uint32_t>(seed * 7 % 40);
        o.profile = seed % 2 ? gen::Profile::Music : gen::Profile::Exhaustive;
        o.tag = seed % 3 == 0 ? gen::TagKind::Id3v2 : gen::TagKind::None;
        const gen::GeneratedStream original = gen::GenerateStream(o);
        gen::GeneratedStream s = original;
        const gen::DamageReport damage = gen::ApplyDamage(s, kind, o.seed);
        SCOPED_TRACE(std::string(gen::DamageName(kind)) + " v" + std::to_string(version) + ": " +
                     damage.description);
        const fs::path path = dir / ("in " + std::to_string(mapped) + ".vlk");
        if (seed == 1) {  // a whole file maps to nothing
          test::WriteBytes(path, original.bytes);
          const Checked whole = CheckAndMap(path);
          EXPECT_TRUE(whole.map.regions.empty() && whole.map.KeptFrames() == original.frames.size());
        }
        test::WriteBytes(path, s.bytes);
        const Checked c = CheckAndMap(path);
        if (c.outcome.status == FileStatus::kOk) continue;  // the damage changed no frame bit
        ++mapped;
        ASSERT_EQ(c.outcome.status, FileStatus::kBroken);
        const DamageMap& map = c.map;
        ASSERT_EQ(map.end, DamageMap::End::kComplete);
        ASSERT_FALSE(map.regions.empty());
        ASSERT_EQ(map.runs.size(), map.regions.size() + 1);
        EXPECT_EQ(map.runs[0].frames, c.outcome.goodFrames);

        // Stream bit 0 as a bit of the file.
        const uint64_t base = 8 * (static_cast<uint64_t>(s.headerPos) +
                                   static_cast<uint64_t>(FirstFrameOf(int32_t(version)).byteOffset));
        // The damaged bytes, widened to whole words; bytes moved by other than
        // whole words scramble the bit order of everything behind them.
        const uint64_t wordLo = s.headerPos + (damage.offset - s.headerPos) / 4 * 4;
        const uint64_t wordHi =
            damage.shift % 4 != 0
                ? UINT64_MAX
                : s.headerPos +
                      (damage.offset + std::max<uint64_t>(damage.length, 1) - 1 - s.headerPos) / 4 * 4 + 3;
        for (size_t i = 0; i < map.regions.size(); ++i) {
          const DamagedRegion& r = map.regions[i];
          EXPECT_TRUE(r.countKnown && !r.searchLimited);
          // Runs and regions tile the frames and the bits in order.
          EXPECT_TRUE(r.firstFrame == map.runs[i].firstFrame + map.runs[i].frames &&
                      map.runs[i + 1].firstFrame == r.lastFrame + 1 && r.beginBit == map.runs[i].endBit &&
                      r.endBit == map.runs[i + 1].beginBit);
          if (kind == gen::DamageKind::Truncate || kind == gen::DamageKind::OverClaim) continue;
          const ByteSpan bytes = BytesOfBits(c.info, r.beginBit, r.endBit);
          EXPECT_TRUE(bytes.first <= wordHi && bytes.last >= wordLo)  // none invented in sound data
              << "region bytes " << bytes.first << "-" << bytes.last << ", damage " << wordLo << "-"
              << wordHi;
        }
        if (kind == gen::DamageKind::Flip) {  // just the frame whose length field changed
          EXPECT_TRUE(map.regions.size() == 1 && map.regions[0].firstFrame == *damage.exactGood &&
                      map.regions[0].lastFrame == *damage.exactGood);
        }
        if (kind == gen::DamageKind::Truncate || kind == gen::DamageKind::OverClaim) {
          ASSERT_EQ(map.regions.size(), 1u);
          EXPECT_EQ(map.regions[0].firstFrame, *damage.exactGood);
          EXPECT_EQ(map.regions[0].lastFrame + 1, s.declaredFrameCount);
          EXPECT_EQ(map.runs[1].frames, 0u);
        }
        resynced += map.GoodFramesAfter() > 0;
        // Every kept frame is the frame of that number in the undamaged stream,
        // bit for bit, unless damaged bits lie in it: a frame can pass with
        // damaged sample values.
        for (const GoodRun& run : map.runs) {
          if (run.frames == 0) continue;
          ASSERT_LE(run.firstFrame + run.frames, original.frames.size());
          uint64_t at = base + run.beginBit;
          for (uint32_t k = run.firstFrame; k < run.firstFrame + run.frames; ++k) {
            const gen::FrameLayout& f = original.frames[k];
            const uint64_t length = f.EndBit() - f.lengthFieldBit;
            const uint64_t lo = s.ByteOfBit(at) / 4 * 4, hi = s.ByteOfBit(at + length - 1) / 4 * 4 + 3;
            if (hi < wordLo || lo > wordHi) {
              EXPECT_TRUE(SameBits(s, s.bytes, at, original.bytes, f.lengthFieldBit, length))
                  << "frame " << k;
            }
            at += length;
          }
          EXPECT_EQ(at, base + run.endBit);
        }
        // The salvaged copy: exactly the kept frames, checked whole, the same bits.
        const fs::path copy = dir / "salvaged" / path.filename();
        fs::create_directories(copy.parent_path());
        FileStream source(OpenFileForScan(test::ToText(path), false));
        const SalvageResult result = WriteSalvage(source, c.info, map, test::ToText(copy));
        EXPECT_EQ(test::ReadBytes(path), s.bytes) << "the original was written";
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
        EXPECT_EQ(salvaged.info.maxBand + salvaged.info.midSide * 64, c.info.maxBand + c.info.midSide * 64);
        const Bytes out = test::ReadBytes(copy);
        EXPECT_TRUE(std::equal(out.begin(), out.begin() + s.headerPos + 4, s.bytes.begin()));
        uint64_t at = base + FirstFrameBit(c.info);
        for (const GoodRun& run : map.runs) {
          EXPECT_TRUE(SameBits(s, out, at, s.bytes, base + run.beginBit, run.endBit - run.beginBit));
          at += run.endBit - run.beginBit;
        }
        fs::remove(copy);
      }
    }
  }
  EXPECT_GT(mapped, 75);
  EXPECT_GT(resynced, 20);  // the walk really went on past the damage

  // Version 4 stores the count plus one in 16 bits: 65534 kept frames is the most it holds
  // (a map that claims them is written, then found not to check whole and removed).
  gen::StreamOptions o;
  o.streamVersion = 4;
  const fs::path path = dir / "v4.vlk";
  test::WriteBytes(path, gen::GenerateStream(o).bytes);
  Checked c = CheckAndMap(path);
  for (const uint32_t kept : {65534u, 65535u}) {
    c.map.runs.back().frames = kept;
    FileStream source(OpenFileForScan(test::ToText(path), false));
    const fs::path copy = dir / ("v4 " + std::to_string(kept) + ".vlk");
    EXPECT_EQ(WriteSalvage(source, c.info, c.map, test::ToText(copy)).status,
              kept == 65534 ? SalvageResult::Status::kCheckFailed : SalvageResult::Status::kCountTooLarge);
    EXPECT_FALSE(fs::exists(copy));
  }
}

// A generated file, damaged (or not, for OverClaim), written to path.
Bytes MakeFile(const fs::path& path, uint32_t version, gen::DamageKind kind, uint32_t frames = 120) {
  gen::StreamOptions o;
  o.streamVersion = version, o.frameCount = frames;
  gen::GeneratedStream s = gen::GenerateStream(o);
  if (kind != gen::DamageKind::OverClaim) gen::ApplyDamage(s, kind, 5);
  fs::create_directories(path.parent_path());
  test::WriteBytes(path, s.bytes);
  return s.bytes;
}

bool Has(const test::ProcessResult& r, const std::string& text) {
  return r.out.find(text) != std::string::npos;
}

TEST(DamageMapCli, MapLinesSalvagedCopiesUnderTheirFolderAndWriteFailures) {
  test::ScratchDir dir("recover_cli_");
  const Bytes zeroed = MakeFile(dir / "lib" / "sub" / "zero.vlk", 7, gen::DamageKind::Zero);
  MakeFile(dir / "lib" / "whole.vlk", 5, gen::DamageKind::OverClaim);
  MakeFile(dir / "flip.vlk", 4, gen::DamageKind::Flip);
  MakeFile(dir / "w" / "esc.vlk", 4, gen::DamageKind::Flip);
  fs::permissions(dir / "flip.vlk", fs::perms::owner_read | fs::perms::owner_write);
  const std::string lib = (dir / "lib").string(), flip = (dir / "flip.vlk").string();
  const std::string out = (dir / "out" / "x").string();

  // A relative part that climbs out of DIR: the copy goes in by its name.
  const test::ProcessResult r = test::Run(
      VELKSCAN_CLI, {"--map", "--salvage", out, "--priority", "normal", lib, flip, lib + "/../w/esc.vlk"});
  EXPECT_EQ(r.status, 1) << r.err;
  // Each map line right under its file's broken line, in its form.
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
  EXPECT_EQ(mapLines, 3) << r.out;
  const size_t zeroLine = r.out.find(lib + "/sub/zero.vlk: salvaged ");
  EXPECT_NE(r.out.find(" of 120 frames (00:0", zeroLine), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(") to " + out + "/sub/zero.vlk.\n", zeroLine), std::string::npos) << r.out;
  EXPECT_TRUE(Has(r, flip + ": salvaged 119 of 120 frames (00:03) to " + out + "/flip.vlk.\n")) << r.out;
  EXPECT_TRUE(Has(r, "/esc.vlk: salvaged 119 of 120 frames (00:03) to " + out + "/esc.vlk.\n")) << r.out;
  EXPECT_FALSE(fs::exists(dir / "out" / "w"));
  EXPECT_FALSE(fs::exists(fs::path(out) / "whole.vlk"));
  EXPECT_EQ(test::ReadBytes(dir / "lib" / "sub" / "zero.vlk"), zeroed);
  // The copy of a private file is private too.
  EXPECT_EQ(
      fs::status(fs::path(out) / "flip.vlk").permissions() & (fs::perms::group_all | fs::perms::others_all),
      fs::perms::none);

  // A second run finds the copies there and leaves them be: a copy asked for and not written.
  // A folder in DIR that leads out through a link is refused.
  MakeFile(dir / "lib2" / "w" / "l.vlk", 4, gen::DamageKind::Flip);
  fs::create_directories(dir / "elsewhere");
  fs::create_directory_symlink(dir / "elsewhere", fs::path(out) / "w");
  const test::ProcessResult again =
      test::Run(VELKSCAN_CLI, {"--salvage", out, "--priority", "normal", flip, (dir / "lib2").string()});
  EXPECT_TRUE(Has(again, flip + ": not salvaged, writing " + out + "/flip.vlk failed (File exists).\n"))
      << again.out;
  EXPECT_TRUE(Has(again, "/w/l.vlk failed (its folder leads out of " + out + ").\n")) << again.out;
  EXPECT_TRUE(fs::is_empty(dir / "elsewhere"));
  EXPECT_EQ(again.status, 4);

  // A file size limit stops one copy like a full disk, leaves nothing of it,
  // and the next file is salvaged.
  MakeFile(dir / "big.vlk", 7, gen::DamageKind::Flip, 1500);
  test::ProcessOptions limited;
  limited.prefix = {"/bin/sh", "-c", "ulimit -f 200; exec \"$0\" \"$@\""};
  const std::string out2 = (dir / "out2").string();
  const test::ProcessResult full = test::Run(
      VELKSCAN_CLI, {"--salvage", out2, "--priority", "normal", (dir / "big.vlk").string(), flip}, limited);
  EXPECT_TRUE(Has(full, "/big.vlk failed (File too large).\n")) << full.out << full.err;
  EXPECT_TRUE(Has(full, flip + ": salvaged 119 of 120 frames")) << full.out;
  EXPECT_EQ(full.status, 4);
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(out2)) left.push_back(entry.path().filename().string());
  EXPECT_EQ(left, std::vector<std::string>{"flip.vlk"});

  // Killed in the middle of a copy: nothing under the final name, and the
  // next run into that folder names what was left.
  test::ProcessOptions killed;
  killed.env = {{"LD_PRELOAD", VELKSCAN_FAILIO},
                {"VELKSCAN_KILL_WRITE", ".velkscan-partial:4096"},
                {"ASAN_OPTIONS", "verify_asan_link_order=0"}};
  const std::string out3 = (dir / "out3").string();
  EXPECT_EQ(test::Run(VELKSCAN_CLI, {"--salvage", out3, flip}, killed).status, 128 + SIGKILL);
  EXPECT_FALSE(fs::exists(dir / "out3" / "flip.vlk"));
  const test::ProcessResult after = test::Run(VELKSCAN_CLI, {"--salvage", out3, flip});
  EXPECT_TRUE(Has(after, ".velkscan-partial: left over from an interrupted salvage, not a salvaged copy.\n" +
                             flip + ": salvaged 119 of 120 frames"))
      << after.out;

  // A header that declares no frames (50 pass) says so, in the map and the salvage.
  gen::StreamOptions o;
  o.streamVersion = 6, o.frameCount = 50;
  Bytes none = gen::GenerateStream(o).bytes;
  std::fill(none.begin() + 4, none.begin() + 8, 0);
  test::WriteBytes(dir / "none.vlk", none);
  // A name that is not UTF-8 keeps its bytes in hex, its copy's name too.
  const fs::path odd = dir / "odd\xff.vlk";
  fs::copy_file(flip, odd);
  const std::string hexOf = (dir / "out4" / "odd\xff.vlk").string();
  const test::ProcessResult json =
      test::Run(VELKSCAN_CLI, {"--json", "--map", "--salvage", (dir / "out4").string(), "--priority",
                               "normal", flip, odd.string(), (dir / "none.vlk").string()});
  EXPECT_NE(json.out.find("\"damage\":[{\"firstFrame\":"), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("],\"damageMapComplete\":true,\"damageMapStop\":null,\"goodFramesAfter\":"),
            std::string::npos)
      << json.out;
  EXPECT_NE(json.out.find("\"salvage\":{\"path\":\"" + (dir / "out4").string() +
                          "/odd\xef\xbf\xbd.vlk\",\"pathHex\":\"" +
                          test::Hex(Bytes(hexOf.begin(), hexOf.end())) + "\""),
            std::string::npos)
      << json.out;
  const test::ProcessResult text =
      test::Run(VELKSCAN_CLI, {"--map", "--salvage", (dir / "out5").string(), (dir / "none.vlk").string()});
  EXPECT_TRUE(Has(text,
                  "none.vlk: broken after frame 0/0 (00:00)\n    no damage map: its header declares no "
                  "frames\n" +
                      (dir / "none.vlk").string() + ": not salvaged, its header declares no frames.\n"))
      << text.out;
  EXPECT_EQ(test::Run(VELKSCAN_CLI, {"--salvage", out, "--repair", flip}).status, 2);
}

// Files past 2 and 4 GiB, sparse: the frames of a generated file with a
// hole in the middle, found again behind it by the bit search.
TEST(DamageMapCli, OffsetsPast2And4GiB) {
  if (!fs::is_directory("/dev/shm")) GTEST_SKIP() << "holes are read fast only from memory";
  setenv("VELKSCAN_TEST_TMP", "/dev/shm", 1);
  test::ScratchDir dir("recover_sparse_");
  gen::StreamOptions o;
  o.frameCount = 120, o.seed = 3;
  const Bytes bytes = gen::GenerateStream(o).bytes;
  const size_t cut = 24 + (bytes.size() / 2 - 24) / 4 * 4;  // whole words after the header
  for (const auto& [name, hole] : {std::pair{"2g.vlk", (2ull << 30) + 4096}, {"4g.vlk", (44ull << 28)}}) {
    std::FILE* f = std::fopen((dir / name).c_str(), "wb");
    ASSERT_TRUE(f != nullptr);
    std::fwrite(bytes.data(), 1, cut, f);
    ASSERT_EQ(fseeko(f, static_cast<off_t>(cut + hole), SEEK_SET), 0);
    std::fwrite(bytes.data() + cut, 1, bytes.size() - cut, f);
    ASSERT_EQ(std::fclose(f), 0);
  }
  const test::ProcessResult r = test::Run(
      VELKSCAN_CLI,
      {"--map", "--salvage", (dir / "out").string(), (dir / "2g.vlk").string(), (dir / "4g.vlk").string()});
  EXPECT_TRUE(Has(r, "2g.vlk: salvaged 119 of 120 frames (00:03) to ")) << r.out;
  EXPECT_TRUE(Has(r,
                  "4g.vlk: broken after frame 61/120 (00:01)\n    damage map incomplete: stopped at byte "
                  "4294967320, past the 4 GiB a file position reaches\n"))
      << r.out;
}

// One 32-bit word repeated behind a valid header makes nearly every bit
// position start a frame that parses long: the search stops at its budget
// and says so, rather than take most of an hour for a large file.
TEST(DamageMapCli, AdversarialBytesStopTheSearchAndSayWhere) {
  test::ScratchDir dir("recover_worst_");
  gen::StreamOptions o;
  o.streamVersion = 6, o.frameCount = 1, o.maxBand = 31, o.midSide = true;
  Bytes bytes = gen::GenerateStream(o).bytes;
  bytes.resize(8 + (64 << 10));
  bytes[4] = 0xFF, bytes[5] = 0xFF, bytes[6] = 0, bytes[7] = 0;
  for (size_t i = 8; i < bytes.size(); i += 4)
    bytes[i] = 0x01, bytes[i + 1] = 0, bytes[i + 2] = 0x08, bytes[i + 3] = 0;
  test::WriteBytes(dir / "worst.vlk", bytes);
  const test::ProcessResult r = test::Run(VELKSCAN_CLI, {"--map", (dir / "worst.vlk").string()});
  EXPECT_TRUE(Has(r, "    damaged: frames 1-65535, bytes 8-65543 (search limit), ")) << r.out;
}

}  // namespace
}  // namespace velkscan

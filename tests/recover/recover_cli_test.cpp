// velkscan-cli's --map and --salvage: the lines, where copies go and what
// they never overwrite, faults in the middle of a copy, and offsets past the
// 32-bit limits (the map and copy themselves: recover_test.cpp).
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "stream/testfiles.h"
#include "support/process.h"
#include "support/snapshot.h"
#include "support/streams.h"

namespace velkscan {
namespace {

using test::Bytes;
using test::Has;
namespace fs = std::filesystem;

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

// A copy that is there already is left be, a folder in DIR that leads out
// through a link is refused: each a copy asked for and not written.
TEST_F(SalvageCli, NoCopyOverAFileOrOutThroughALink) {
  MakeFile(dir_ / "lib/w/l.vlk", 4, gen::DamageKind::Flip);
  ASSERT_EQ(Cli({"--salvage", out_, flip_}).status, 1);
  fs::create_directories(dir_ / "elsewhere");
  fs::create_directory_symlink(dir_ / "elsewhere", fs::path(out_) / "w");
  const test::ProcessResult again = Cli({"--salvage", out_, flip_, P("lib")});
  EXPECT_TRUE(Has(again.out, flip_ + ": not salvaged, writing " + out_ + "/flip.vlk failed (File exists).\n"))
      << again.out;
  EXPECT_TRUE(Has(again.out, "/w/l.vlk failed (its folder leads out of " + out_ + ").\n")) << again.out;
  EXPECT_TRUE(fs::is_empty(dir_ / "elsewhere"));
  EXPECT_EQ(again.status, 4);
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
  const test::ProcessResult r = test::Run(
      VELKSCAN_CLI,
      {"--map", "--salvage", (dir / "out").string(), (dir / "2g.vlk").string(), (dir / "4g.vlk").string()});
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
  const test::ProcessResult r = test::Run(VELKSCAN_CLI, {"--map", (dir / "worst.vlk").string()});
  EXPECT_TRUE(Has(r.out, "    damaged: frames 1-65535, bytes 8-65543 (search limit), ")) << r.out;
}

}  // namespace
}  // namespace velkscan

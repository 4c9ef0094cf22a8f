// The salvaged copy of a broken file: written from a map, and through velkscan-cli --salvage.
#include "recovertest.h"

namespace velkscan {

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
  EXPECT_TRUE(Has(r.out, "Salvaged 3 copies under " + out_ + ".\n")) << r.out;
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
// next run into that folder names what was left (not a copy of its own:
// one named with its process number, as another checker's would be).
TEST_F(SalvageCli, AKilledCopyIsNeverTakenForACopy) {
  EXPECT_EQ(
      Cli({"--salvage", out_, flip_}, test::FailIo("VELKSCAN_KILL_WRITE=.velkscan-partial:4096")).status,
      128 + SIGKILL);
  EXPECT_FALSE(fs::exists(out_ + "/flip.vlk"));
  const test::ProcessResult after = Cli(
      {"--salvage", out_, flip_},
      {.prefix = {"/bin/sh", "-c", "touch \"$0.$$-2.velkscan-partial\" && exec \"$@\"", out_ + "/flip.vlk"}});
  EXPECT_EQ(after.out.find("left over"), after.out.rfind("left over")) << after.out;
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

}  // namespace velkscan

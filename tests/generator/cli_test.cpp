// The velkgen program, run as a process: same bytes as the library for the
// same options, one summary line per file, exit 2 on bad usage.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "gentest.h"

namespace velkscan::test {
namespace {

struct ProgramRun {
  int exitCode = -1;
  std::string out;
  size_t Lines() const { return static_cast<size_t>(std::count(out.begin(), out.end(), '\n')); }
};

std::string Quote(const fs::path& path) {
  return "'" + path.string() + "'";
}

// Runs velkgen with the arguments; stderr is discarded.
ProgramRun Velkgen(const std::string& args) {
  ProgramRun r;
  FILE* pipe = popen((Quote(VELKGEN_PATH) + " " + args + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return r;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) r.out.append(buffer, n);
  const int status = pclose(pipe);
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

TEST(VelkgenProgram, WritesWhatTheLibraryWrites) {
  ScratchDir dir;
  const fs::path out = dir / "out.vlk";
  const ProgramRun r = Velkgen(
      "--seed 42 --stream-version 6 --frames 30 --max-band 20 --mid-side --id3 --id3-footer "
      "--profile exhaustive " +
      Quote(out));
  ASSERT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.Lines(), 1u);
  EXPECT_EQ(r.out.rfind(out.string(), 0), 0u) << r.out;
  gen::StreamOptions o = Options(6, gen::Profile::Exhaustive, 42, 30, gen::TagKind::Id3v2Footer);
  o.maxBand = 20;
  o.midSide = true;
  EXPECT_EQ(ReadBytes(out), gen::GenerateStream(o).bytes);

  // Defaults: version 7, 500 frames, music, no mid/side.
  ASSERT_EQ(Velkgen("--seed 9 " + Quote(out)).exitCode, 0);
  gen::StreamOptions d = Options(7, gen::Profile::Music, 9, 500);
  d.midSide = false;
  EXPECT_EQ(ReadBytes(out), gen::GenerateStream(d).bytes);

  for (const char* kind : {"truncate", "flip", "zero", "insert", "delete", "overclaim"}) {
    const ProgramRun damaged =
        Velkgen(std::string("--seed 4 --frames 120 --damage ") + kind + " " + Quote(out));
    ASSERT_EQ(damaged.exitCode, 0) << kind;
    EXPECT_NE(damaged.out.find("damage"), std::string::npos) << damaged.out;
    const Walk w = WalkFile(out, false);
    ASSERT_EQ(w.headerResult, 0) << kind;
    EXPECT_EQ(w.frameOk, 0) << kind;
  }
}

TEST(VelkgenProgram, WritesALibrary) {
  ScratchDir dir;
  const ProgramRun r = Velkgen("--library " + Quote(dir / "lib") + " --size-mb 1 --seed 2");
  ASSERT_EQ(r.exitCode, 0);
  gen::LibraryOptions options;
  options.sizeMb = 1;
  options.seed = 2;
  const auto files = gen::GenerateLibrary(dir / "other", options);
  EXPECT_EQ(r.Lines(), files.size() + 1);  // a line per file and the total
  for (const auto& f : files) EXPECT_EQ(ReadBytes(dir / "lib" / f.path), ReadBytes(dir / "other" / f.path));
  // Into a folder that is not empty only with --force.
  EXPECT_EQ(Velkgen("--library " + Quote(dir / "lib") + " --seed 3").exitCode, 2);
  for (const auto& f : files)
    EXPECT_TRUE(ReadBytes(dir / "lib" / f.path) == ReadBytes(dir / "other" / f.path));
  EXPECT_EQ(Velkgen("--force --library " + Quote(dir / "lib") + " --size-mb 1 --seed 3").exitCode, 0);
}

TEST(VelkgenProgram, BadUsageExitsWith2) {
  ScratchDir dir;
  const std::string out = Quote(dir / "x.vlk");
  for (const std::string& args : {
           std::string(""),                             // nothing to write
           "--stream-version 8 " + out,                 // no such version
           "--max-band 32 " + out,                      // beyond the subbands
           "--id3-footer " + out,                       // footer without a tag
           "--profile loud " + out,                     // unknown profile
           "--damage melt " + out,                      // unknown damage
           "--frames many " + out,                      // not a number
           "--stream-version 4 --frames 65535 " + out,  // more than version 4 can count
           "--library " + out + " " + out,              // both forms at once
           "--size-mb 3 " + out,                        // a library option alone
           "--no-such-option " + out,
       }) {
    const ProgramRun r = Velkgen(args);
    EXPECT_EQ(r.exitCode, 2) << args;
    EXPECT_TRUE(r.out.empty()) << args;
  }
  EXPECT_FALSE(fs::exists(dir / "x.vlk"));
  EXPECT_EQ(Velkgen("--help").exitCode, 0);
}

}  // namespace
}  // namespace velkscan::test

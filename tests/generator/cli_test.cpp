// The velkgen program, run as a process: same bytes as the library for the
// same options, one summary line per file, exit 2 on bad usage.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "gentest.h"

namespace velkscan::test {
namespace {

struct ProgramRun {
  int exitCode = -1;
  std::string out;
};

std::string Quote(const std::string& s) {
  return "'" + s + "'";
}

// Runs velkgen with the arguments; stderr is discarded.
ProgramRun Velkgen(const std::string& args) {
  ProgramRun r;
  const std::string command = Quote(VELKGEN_PATH) + " " + args + " 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return r;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) r.out.append(buffer, n);
  const int status = pclose(pipe);
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

size_t Lines(const std::string& s) {
  return static_cast<size_t>(std::count(s.begin(), s.end(), '\n'));
}

TEST(VelkgenProgram, WritesWhatTheLibraryWrites) {
  ScratchDir dir;
  const fs::path out = dir / "out.vlk";
  const ProgramRun r = Velkgen(
      "--seed 42 --version 6 --frames 30 --max-band 20 --mid-side --id3 --id3-footer "
      "--profile exhaustive " +
      Quote(out.string()));
  ASSERT_EQ(r.exitCode, 0);
  EXPECT_EQ(Lines(r.out), 1u);
  EXPECT_EQ(r.out.rfind(out.string(), 0), 0u) << r.out;

  gen::StreamOptions o;
  o.seed = 42;
  o.streamVersion = 6;
  o.frameCount = 30;
  o.maxBand = 20;
  o.midSide = true;
  o.tag = gen::TagKind::Id3v2Footer;
  o.profile = gen::Profile::Exhaustive;
  EXPECT_EQ(ReadWholeFile(out), gen::GenerateStream(o).bytes);

  // Defaults: version 7, 500 frames, music, no mid/side.
  ASSERT_EQ(Velkgen("--seed 9 " + Quote(out.string())).exitCode, 0);
  gen::StreamOptions d;
  d.seed = 9;
  d.midSide = false;
  EXPECT_EQ(ReadWholeFile(out), gen::GenerateStream(d).bytes);
}

TEST(VelkgenProgram, DamagedOutputIsFoundBroken) {
  ScratchDir dir;
  const fs::path out = dir / "broken.vlk";
  for (const char* kind : {"truncate", "flip", "zero", "insert", "delete", "overclaim"}) {
    const ProgramRun r =
        Velkgen(std::string("--seed 4 --frames 120 --damage ") + kind + " " + Quote(out.string()));
    ASSERT_EQ(r.exitCode, 0) << kind;
    EXPECT_NE(r.out.find("damage"), std::string::npos) << r.out;
    const Walk w = WalkFile(out, false);
    ASSERT_EQ(w.headerResult, 0) << kind;
    EXPECT_EQ(w.frameOk, 0) << kind;
  }
}

TEST(VelkgenProgram, WritesALibrary) {
  ScratchDir dir;
  const fs::path lib = dir / "lib";
  const ProgramRun r = Velkgen("--library " + Quote(lib.string()) + " --size-mb 1 --seed 2");
  ASSERT_EQ(r.exitCode, 0);
  gen::LibraryOptions options;
  options.sizeMb = 1;
  options.seed = 2;
  const fs::path other = dir / "other";
  const auto files = gen::GenerateLibrary(other, options);
  EXPECT_EQ(Lines(r.out), files.size() + 1);  // a line per file and the total
  for (const auto& f : files) EXPECT_EQ(ReadWholeFile(lib / f.path), ReadWholeFile(other / f.path));
}

TEST(VelkgenProgram, BadUsageExitsWith2) {
  ScratchDir dir;
  const std::string out = Quote((dir / "x.vlk").string());
  for (const std::string& args : {
           std::string(""),                      // nothing to write
           "--version 8 " + out,                 // no such version
           "--max-band 32 " + out,               // beyond the subbands
           "--id3-footer " + out,                // footer without a tag
           "--profile loud " + out,              // unknown profile
           "--damage melt " + out,               // unknown damage
           "--frames many " + out,               // not a number
           "--version 4 --frames 65535 " + out,  // more than version 4 can count
           "--library " + out + " " + out,       // both forms at once
           "--size-mb 3 " + out,                 // a library option alone
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

// The velkgen program's own glue, run as a process: a library goes only
// into an empty folder unless --force says otherwise; the damage options
// damage where they say; bad usage exits 2.
#include <gtest/gtest.h>

#include <functional>

#include "gentest.h"
#include "support/process.h"

namespace velkscan::test {
namespace {

TEST(VelkgenProgram, WritesALibraryOnlyIntoAnEmptyFolderUnlessForced) {
  ScratchDir dir;
  const std::string lib = (dir / "lib").string();
  ASSERT_EQ(test::Run(VELKGEN_PATH, {"--library", lib, "--size-mb", "1", "--seed", "3"}).status, 0);
  const auto files = gen::GenerateLibrary(dir / "other", {.sizeMb = 1, .seed = 3});
  for (const auto& f : files) EXPECT_EQ(ReadBytes(dir / "lib" / f.path), ReadBytes(dir / "other" / f.path));
  EXPECT_EQ(test::Run(VELKGEN_PATH, {"--library", lib, "--seed", "4"}).status, 2);
  EXPECT_EQ(test::Run(VELKGEN_PATH, {"--librar", lib})
                .err.rfind("velkgen: unknown option --librar (did you mean "
                           "--library?)\nUsage: velkgen [OPTIONS] OUT.vlk\n",
                           0),
            0u);
  for (const auto& f : files) ASSERT_EQ(ReadBytes(dir / "lib" / f.path), ReadBytes(dir / "other" / f.path));
  EXPECT_EQ(test::Run(VELKGEN_PATH, {"--force", "--library", lib, "--size-mb", "1", "--seed", "4"}).status,
            0);
}

// Each damage option's file is the undamaged stream with that damage done by hand; a place that does not
// suit its kind or the file is bad usage, and nothing is written.
TEST(VelkgenProgram, DamageOptionsDamageWhereTheySay) {
  ScratchDir dir;
  gen::StreamOptions options = Options(6, 40, 3);
  options.midSide = false;
  const gen::GeneratedStream whole = gen::GenerateStream(options);
  using Expect = std::function<void(gen::GeneratedStream&, const Bytes& out)>;
  const std::pair<std::vector<std::string>, Expect> table[] = {
      {{"--declare-frames", "0"}, [](auto& s, auto&) { gen::OverClaim(s.bytes, 0, 6, 0); }},
      {{"--zero-every", "7"}, [](auto& s, auto&) { gen::ZeroEveryLengthField(s, 7); }},
      {{"--damage", "insert", "--damage-at", "5001", "--damage-size", "9"},
       [](auto& s, const Bytes& out) {
         gen::InsertBytes(s.bytes, 5001,
                          Bytes(out.begin() + 5001, out.begin() + std::min<size_t>(out.size(), 5010)));
       }},
      {{"--damage", "delete", "--damage-at", "5001", "--damage-size", "9"},
       [](auto& s, auto&) { gen::DeleteBytes(s.bytes, 5001, 9); }},
      {{"--damage", "flip", "--damage-at", "5001"}, nullptr},
      {{"--damage", "delete", "--damage-at", std::to_string(whole.bytes.size())}, nullptr},
  };
  for (const auto& [args, expect] : table) {
    const fs::path out = dir / "out.vlk";
    std::vector<std::string> all = {"--stream-version", "6", "--frames", "40", "--seed", "3", out.string()};
    all.insert(all.end(), args.begin(), args.end());
    const ProcessResult r = test::Run(VELKGEN_PATH, all);
    SCOPED_TRACE(all[7] + " " + all[8] + ": " + r.out + r.err);
    if (!expect) {
      EXPECT_TRUE(r.status == 2 && !fs::exists(out));
      continue;
    }
    ASSERT_EQ(r.status, 0);
    const Bytes written = ReadBytes(out);
    gen::GeneratedStream s = whole;
    expect(s, written);
    EXPECT_EQ(written, s.bytes);
    fs::remove(out);
  }
}

}  // namespace
}  // namespace velkscan::test

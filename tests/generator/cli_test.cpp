// The velkgen program's own glue, run as a process: a library goes only
// into an empty folder unless --force says otherwise; bad usage exits 2.
#include <gtest/gtest.h>

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
  for (const auto& f : files) ASSERT_EQ(ReadBytes(dir / "lib" / f.path), ReadBytes(dir / "other" / f.path));
  EXPECT_EQ(test::Run(VELKGEN_PATH, {"--force", "--library", lib, "--size-mb", "1", "--seed", "4"}).status,
            0);
  EXPECT_EQ(test::Run(VELKGEN_PATH, {"--version-that-does-not-exist"}).status, 2);
}

}  // namespace
}  // namespace velkscan::test

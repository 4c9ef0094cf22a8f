// A read error is not damage, end to end: the real velkscan-cli --repair
// over a real file whose reads fail (failio preloaded) reports the read
// error, exits with 3 and leaves every byte of the file as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/process.h"
#include "testfiles.h"
#include "velkgen/generator.h"

namespace velkscan::test {
namespace {

ProcessResult RunCli(const std::string& arguments, const std::string& failRead) {
  ProcessOptions options;
  options.env = {{"LD_PRELOAD", VELKSCAN_FAILIO},
                 {"VELKSCAN_FAIL_READ", failRead},
                 {"ASAN_OPTIONS", "verify_asan_link_order=0"}};
  std::vector<std::string> args;
  for (size_t at = 0, space; at < arguments.size(); at = space + 1) {
    space = std::min(arguments.find(' ', at), arguments.size());
    args.push_back(arguments.substr(at, space - at));
  }
  return test::Run(VELKSCAN_CLI, args, options);
}

TEST(ReadError, IsReportedAndNeverRepaired) {
  ScratchDir dir;
  gen::StreamOptions options;
  options.frameCount = 1500;  // well past the first 64 KiB the ring takes
  options.seed = 3;
  gen::GeneratedStream stream = gen::GenerateStream(options);
  gen::OverClaim(stream.bytes, stream.headerPos, 7, 5000);  // broken too, past its real frames
  const fs::path file = dir / "failing.vlk";
  WriteBytes(file, stream.bytes);
  const struct {
    const char* where;
    std::string failRead;
    std::string goodFrames;
  } cases[] = {
      {"the first fill", "failing.vlk:300", "0"},
      {"a refill", "failing.vlk:" + std::to_string(3 * 32768), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.where);
    const ProcessResult text = RunCli("--repair " + file.string(), c.failRead);
    EXPECT_EQ(text.status, 3) << text.out;
    const std::string prefix = file.string() + ": read error after frame " + c.goodFrames;
    EXPECT_NE(text.out.find(prefix), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("/5000 ("), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("), not repaired.\n"), std::string::npos) << text.out;
    EXPECT_EQ(text.out.find("broken after"), std::string::npos) << text.out;
    const ProcessResult json = RunCli("--repair --json " + file.string(), c.failRead);
    EXPECT_EQ(json.status, 3);
    EXPECT_NE(json.out.find("\"status\":\"read-error\""), std::string::npos) << json.out;
    EXPECT_EQ(ReadBytes(file), stream.bytes);
  }
  // Without the fault the same file is broken and repaired.
  EXPECT_EQ(RunCli("--repair " + file.string(), "").status, 1);
  EXPECT_NE(ReadBytes(file), stream.bytes);
}

}  // namespace
}  // namespace velkscan::test

// velkscan-cli end to end: the program run as a user runs it, in a scratch folder of its own.
#pragma once
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <thread>

#include "journal/exitstatus.h"
#include "support/process.h"
#include "support/snapshot.h"
#include "support/streams.h"

namespace velkscan {

namespace fs = std::filesystem;
using namespace test;  // NOLINT: the helpers of tests/support

// At normal priority unless the test says otherwise: an idle run waits for all else on the machine.
inline ProcessResult Cli(std::vector<std::string> args, const ProcessOptions& options = {}) {
  if (std::find(args.begin(), args.end(), "--priority") == args.end())
    args.insert(args.begin(), {"--priority", "normal"});
  return test::Run(VELKSCAN_CLI, args, options);
}

inline std::string FileText(const std::string& path) {
  const Bytes bytes = test::ReadBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

class CliTest : public ::testing::Test {
 protected:
  std::string Put(const std::string& name, const Bytes& bytes) {
    test::WriteBytes(dir_ / name, bytes);
    return P(name);
  }
  std::string P(const std::string& name) const { return (dir_ / name).string(); }
  fs::path Library(double sizeMb, uint64_t seed) {
    gen::GenerateLibrary(dir_ / "library", {.sizeMb = sizeMb, .seed = seed});
    return dir_ / "library";
  }
  test::ScratchDir dir_{"cli_"};
};

}  // namespace velkscan

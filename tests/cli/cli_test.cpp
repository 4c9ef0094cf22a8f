// velkscan-cli end to end: the real program on generated files, its output,
// exit status and the bytes of the files afterwards.
#include <sys/stat.h>
#include <sys/syscall.h>

#include <chrono>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <thread>

#include "clitest.h"
#include "scan/scantest.h"

namespace velkscan {
namespace {

using test::Bytes;
using test::CliOptions;
using test::CliProcess;
using test::CliResult;
using test::RunCli;
namespace fs = std::filesystem;

using Snapshot = std::map<std::string, Bytes>;

Snapshot Take(const fs::path& root) {
  Snapshot files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) files[entry.path().string()] = test::ReadBytes(entry.path());
  }
  return files;
}

void Restore(const Snapshot& files) {
  for (const auto& [path, bytes] : files) test::WriteBytes(path, bytes);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The paths named in "broken after frame" lines of a report.
std::vector<std::string> BrokenPaths(const std::string& report) {
  std::vector<std::string> paths;
  for (const std::string& line : Lines(report)) {
    const size_t at = line.rfind(": broken after frame ");
    if (at != std::string::npos) paths.push_back(line.substr(0, at));
  }
  return paths;
}

bool Contains(const std::vector<std::string>& paths, const std::string& path) {
  return std::find(paths.begin(), paths.end(), path) != paths.end();
}

// Every line of a report is a line of the full one, in its order.
void ExpectLinesOf(const std::string& report, const std::string& full) {
  size_t from = 0;
  for (const std::string& line : Lines(report)) {
    const size_t at = full.find(line + "\n", from);
    ASSERT_NE(at, std::string::npos) << line;
    from = at + line.size() + 1;
  }
}

class CliTest : public ::testing::Test {
 protected:
  fs::path Put(const std::string& name, const Bytes& bytes) {
    test::WriteBytes(dir_ / name, bytes);
    return dir_ / name;
  }
  std::string P(const std::string& name) const { return (dir_ / name).string(); }

  // A generated library: good, broken, tagged, unrecognised and other files
  // in nested folders.
  fs::path Library(double sizeMb, uint64_t seed) {
    gen::LibraryOptions options;
    options.sizeMb = sizeMb;
    options.seed = seed;
    gen::GenerateLibrary(dir_ / "library", options);
    return dir_ / "library";
  }

  test::ScratchDir dir_{"cli_"};
};

TEST_F(CliTest, ReportOnStandardOutputWithNewlines) {
  Put("a/good.vlk", test::MakeStream(6, 40, 1).bytes);
  Put("a/broken.VLK", test::MakeBroken(7, 1500, 1200, 2).bytes);
  Put("a/tagged.vkq", test::MakeStream(5, 40, 3, gen::TagKind::Id3v2).bytes);
  Put("a/notes.txt", Bytes(20, 'x'));
  const CliResult result = RunCli({P("a"), P("missing.vlk")});
  EXPECT_EQ(result.out, "Scanning 4 files...\n----------\n" + P("a/broken.VLK") +
                            ": broken after frame 1200/1500 (00:31)\n" + P("a/tagged.vkq") +
                            ": invalid Velk, contains ID3v2 tag!\n" + P("missing.vlk") +
                            ": file open failed.\n----------\nScanned 4 files, errors with 2.\n");
  EXPECT_EQ(result.err, "");  // not a terminal: no progress line
  EXPECT_EQ(result.status, 1);

  // Each argument is one path, in the order given; empty ones and
  // duplicates (letters A-Z folded) are skipped.
  Put("q/b.vlk", test::MakeStream(7, 10, 4).bytes);
  Put("q/with \"quotes\" and spaces.vlk", test::MakeStream(7, 10, 5).bytes);
  const std::string quotes = P("q/with \"quotes\" and spaces.vlk");
  const CliResult quoted = RunCli({quotes, P("q/b.vlk"), P("q/B.VLK"), P("q/"), "", quotes});
  EXPECT_EQ(quoted.out, "Scanning 2 files...\n----------\nScanned 2 files, no errors found.\n");
  EXPECT_EQ(quoted.status, 0);
}

TEST_F(CliTest, ExitStatusKeepsTheOutcomesApart) {
  Put("good/a.vlk", test::MakeStream(7, 20, 6).bytes);
  Put("good/tagged.vlk", test::MakeStream(4, 20, 7, gen::TagKind::Id3v2Footer).bytes);
  Put("broken/b.vlk", test::MakeBroken(5, 30, 3, 8).bytes);
  Put("unknown/u.vlk", Bytes{'V', 'K', 'Q', 0x08, 0, 0, 0, 0});
  fs::create_directories(dir_ / "unopenable");
  fs::create_symlink(dir_ / "nowhere", dir_ / "unopenable" / "dangling.vlk");
  Put("other/x.txt", Bytes(3, 0));

  const std::pair<std::vector<std::string>, int> runs[] = {
      {{P("good")}, 0},  // ID3v2 lines are no damage
      {{P("broken")}, 1},
      {{P("unknown")}, 1},
      {{P("unopenable")}, 3},
      {{P("unopenable"), P("broken")}, 1},
      {{P("unopenable"), P("good")}, 3},
  };
  for (const auto& [args, status] : runs) EXPECT_EQ(RunCli(args).status, status) << args.back();
  EXPECT_EQ(RunCli({P("unopenable")}).out,
            "Scanning 1 file...\n" + P("unopenable/dangling.vlk") +
                ": file open failed.\n----------\nScanned 1 file, errors with 1.\n");

  const CliResult none = RunCli({P("other"), P("nothing")});
  EXPECT_EQ(none.status, 2);
  EXPECT_EQ(none.out, "");
  EXPECT_NE(none.err.find("no file with a .vlk, .vkq or .vqk extension"), std::string::npos);
  for (const auto& args : std::vector<std::vector<std::string>>{{},
                                                                {"--bogus", P("good")},
                                                                {"-j", "0", P("good")},
                                                                {"-j", "x", P("good")},
                                                                {"--journal", P("j"), P("good")},
                                                                {"--keep-times", P("good")},
                                                                {"--priority", "high", P("good")},
                                                                {"--undo", P("j"), "-r"},
                                                                {"--undo", P("j"), P("good")}}) {
    const CliResult bad = RunCli(args);
    EXPECT_EQ(bad.status, 2) << testing::PrintToString(args);
    EXPECT_EQ(bad.out, "") << testing::PrintToString(args);
    EXPECT_NE(bad.err, "") << testing::PrintToString(args);
  }

  const CliResult help = RunCli({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Usage: velkscan-cli [OPTIONS] [PATH...]"), std::string::npos);
  EXPECT_NE(help.out.find("--repair"), std::string::npos);
  const CliResult version = RunCli({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("velkscan-cli ", 0), 0u);
}

// Checking changes nothing; --repair gives the same lines and changes only
// the frame-count bytes of broken files; -j 2 and -j 5 give what -j 1 gives.
TEST_F(CliTest, RepairsOnlyWhenAskedAndParallelJobsAgree) {
  const fs::path root = Library(4, 9);
  const Snapshot original = Take(root);
  std::map<std::string, std::string> outputs;
  Snapshot repaired;
  for (const std::vector<std::string>& mode :
       std::vector<std::vector<std::string>>{{}, {"--repair"}, {"--json"}, {"--repair", "--json"}}) {
    const std::string name = testing::PrintToString(mode);
    Restore(original);
    std::vector<std::string> args = mode;
    args.insert(args.end(), {"-j", "1", root.string()});
    const CliResult one = RunCli(args);
    EXPECT_EQ(one.status, 1) << name;
    outputs[name] = one.out;
    const Snapshot oneFiles = Take(root);
    for (const char* jobs : {"2", "5"}) {
      Restore(original);
      args[args.size() - 2] = jobs;
      const CliResult many = RunCli(args);
      EXPECT_EQ(many.out, one.out) << name << jobs;
      EXPECT_EQ(many.status, one.status) << name << jobs;
      EXPECT_EQ(Take(root), oneFiles) << name << jobs;
    }
    if (mode.empty() || mode[0] != "--repair") {
      EXPECT_EQ(oneFiles, original) << name;
    } else {
      repaired = oneFiles;
    }
  }
  const std::string& report = outputs[testing::PrintToString(std::vector<std::string>{"--repair"})];
  EXPECT_EQ(report, outputs[testing::PrintToString(std::vector<std::string>{})]);
  const std::vector<std::string> broken = BrokenPaths(report);
  ASSERT_GE(broken.size(), 5u);
  for (const auto& [path, bytes] : original) {
    const Bytes& now = repaired.at(path);
    ASSERT_EQ(now.size(), bytes.size()) << path;
    const auto first = std::mismatch(bytes.begin(), bytes.end(), now.begin()).first - bytes.begin();
    if (first == static_cast<std::ptrdiff_t>(bytes.size()))
      continue;  // unchanged (or the same count written)
    EXPECT_TRUE(Contains(broken, path)) << "changed without a broken line: " << path;
    const auto last = std::mismatch(bytes.rbegin(), bytes.rend(), now.rbegin()).first - bytes.rbegin();
    EXPECT_LE(static_cast<std::ptrdiff_t>(bytes.size()) - last - first, 4) << path;
  }
  // A second check of the repaired library finds those files whole, except
  // where the count claims frames a broken stream cannot give.
  Restore(repaired);
  EXPECT_LT(BrokenPaths(RunCli({root.string()}).out).size(), broken.size());
}

TEST_F(CliTest, JsonObjectsPerFileThenSummary) {
  const gen::GeneratedStream broken = test::MakeBroken(23, 900, 700, 10, gen::TagKind::Id3v2);
  Put("j/1.vlk", broken.bytes);
  Put("j/2.vlk", test::MakeStream(4, 50, 11).bytes);
  Put("j/3.vlk", Bytes{'V', 'K', 'Q', 0x07, 1, 2});
  const CliResult result = RunCli({"--json", "--repair", P("j"), P("j/4.vlk")});
  EXPECT_EQ(result.status, 1);
  using nlohmann::json;
  // Play time: 700 frames x 1152 / 44100 Hz; code -1: too short for the header block.
  json expected[] = {
      json::parse(R"({"type":"file","status":"broken","code":0,"goodFrames":700,"declaredFrames":900,)"
                  R"("playSeconds":18,"id3v2":true,"headerRewritten":true,"rewriteOk":true})"),
      json::parse(
          R"({"type":"file","status":"ok","code":0,"goodFrames":50,"declaredFrames":50,"playSeconds":1,)"
          R"("failOffset":null,"id3v2":false,"headerRewritten":false,"rewriteOk":null})"),
      json::parse(R"({"type":"file","status":"unrecognized","code":4294967295,"goodFrames":null,)"
                  R"("declaredFrames":null,"playSeconds":null,"failOffset":null,"id3v2":false,)"
                  R"("headerRewritten":false,"rewriteOk":null})"),
      json::parse(
          R"({"type":"file","status":"open-failed","code":null,"goodFrames":null,"declaredFrames":null,)"
          R"("playSeconds":null,"failOffset":null,"id3v2":null,"headerRewritten":false,"rewriteOk":null})"),
      json::parse(R"({"type":"summary","files":4,"errors":3,"ok":1,"broken":1,"unrecognized":1,)"
                  R"("openFailed":1,"id3v2":1,"repaired":1})"),
  };
  expected[0]["failOffset"] = broken.ByteOfBit(broken.frames[700].lengthFieldBit);
  for (int i = 0; i < 4; ++i) expected[i]["path"] = P("j/" + std::to_string(i + 1) + ".vlk");
  const std::vector<std::string> lines = Lines(result.out);
  ASSERT_EQ(lines.size(), 5u) << result.out;
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(json::parse(lines[i]), expected[i]) << i;
}

TEST_F(CliTest, JournalAndUndoPutTheOldBytesBack) {
  const fs::path root = Library(3, 12);
  const Snapshot original = Take(root);
  const std::string journal = P("repairs.journal");
  const CliResult repair = RunCli({"--repair", "--journal", journal, root.string()});
  EXPECT_EQ(repair.status, 1);
  const Bytes entries = test::ReadBytes(journal);
  const size_t entryCount = Lines(std::string(entries.begin(), entries.end())).size();
  EXPECT_EQ(entryCount, BrokenPaths(repair.out).size());
  EXPECT_NE(Take(root), original);

  const CliResult undo = RunCli({"--undo", journal});
  EXPECT_EQ(undo.status, 0) << undo.out << undo.err;
  EXPECT_EQ(Lines(undo.out).size(), entryCount);
  for (const std::string& line : Lines(undo.out))
    EXPECT_NE(line.find(" restored."), std::string::npos) << line;
  EXPECT_EQ(Take(root), original);

  // Nothing holds the repaired bytes any more: nothing is done.
  const CliResult again = RunCli({"--undo", journal});
  EXPECT_EQ(again.status, 1);
  for (const std::string& line : Lines(again.out))
    EXPECT_NE(line.find("not restored, the header at "), std::string::npos) << line;
  EXPECT_EQ(Take(root), original);

  // A journal with a line that is not an entry changes nothing at all.
  RunCli({"--repair", "--journal", journal, root.string()});
  const Snapshot repaired = Take(root);
  std::ofstream(journal, std::ios::app) << "not a journal line\n";
  const CliResult broken = RunCli({"--undo", journal});
  EXPECT_EQ(broken.status, 2);
  EXPECT_NE(broken.err.find(":" + std::to_string(2 * entryCount + 1) + ": not a journal line"),
            std::string::npos)
      << broken.err;
  EXPECT_EQ(Take(root), repaired);
}

// --keep-times keeps a repaired file's times; read-only files are checked
// by default, and "file open failed." with --repair.
TEST_F(CliTest, ReadOnlyFilesAndFileTimes) {
  const Bytes broken = test::MakeBroken(7, 80, 30, 18).bytes;
  const fs::path timed = Put("t.vlk", broken);
  const timespec old[2] = {{1200000000, 5}, {1300000000, 7}};
  ASSERT_EQ(utimensat(AT_FDCWD, timed.c_str(), old, 0), 0);
  EXPECT_EQ(RunCli({"--repair", "--keep-times", timed.string()}).status, 1);
  struct stat after;
  ASSERT_EQ(stat(timed.c_str(), &after), 0);
  EXPECT_EQ(after.st_mtim.tv_sec, old[1].tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, old[1].tv_nsec);
  EXPECT_EQ(after.st_atim.tv_sec, old[0].tv_sec);
  EXPECT_EQ(after.st_atim.tv_nsec, old[0].tv_nsec);
  EXPECT_NE(test::ReadBytes(timed), broken);

  CliOptions options;
  if (geteuid() == 0) {
    // Root writes anything: run as nobody instead.
    if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "no setpriv to drop root";
    options.prefix = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  }
  const fs::path path = Put("ro/locked.vlk", broken);
  fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  fs::permissions(dir_.path(), fs::perms::all);
  const CliResult check = RunCli({path.string()}, options);
  EXPECT_EQ(check.out, "Scanning 1 file...\n----------\n" + path.string() +
                           ": broken after frame 30/80 (00:00)\n----------\nScanned 1 file, errors with 1.\n")
      << check.err;
  EXPECT_EQ(check.status, 1);
  const CliResult repair = RunCli({"--repair", path.string()}, options);
  EXPECT_EQ(repair.out, "Scanning 1 file...\n" + path.string() +
                            ": file open failed.\n----------\nScanned 1 file, errors with 1.\n");
  EXPECT_EQ(repair.status, 3);
  EXPECT_EQ(test::ReadBytes(path), broken);
}

// Interrupted at many moments: the job stops between frames, writes no
// summary, exits with 130; a file is changed only when its broken line was
// written.
TEST_F(CliTest, SignalsStopLikeTheStopButton) {
  const fs::path root = Library(12, 14);
  const Snapshot original = Take(root);
  const auto start = std::chrono::steady_clock::now();
  const CliResult full = RunCli({"--repair", "--priority", "normal", "-j", "1", root.string()});
  ASSERT_EQ(full.status, 1);
  // Signals fall anywhere within the time a whole run takes.
  const auto runTime =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
  std::mt19937 random(3);
  int stopped = 0;
  for (int round = 0; round < 16; ++round) {
    Restore(original);
    CliProcess process({"--repair", "-j", round % 2 == 0 ? "1" : "2", "--priority", "normal", root.string()});
    std::this_thread::sleep_for(std::chrono::microseconds(random() % (runTime.count() + 1)));
    process.Signal(round % 4 == 3 ? SIGTERM : SIGINT);
    const CliResult result = process.Wait();
    SCOPED_TRACE("round " + std::to_string(round));
    if (result.status == 128 + SIGTERM && result.out.empty()) {
      // Ended before main could take the signal: nothing was opened yet.
      EXPECT_EQ(Take(root), original);
      continue;
    }
    if (result.status != 130) {  // finished first
      EXPECT_EQ(result.status, 1);
      EXPECT_EQ(result.out, full.out);
      continue;
    }
    ++stopped;
    EXPECT_EQ(result.out.find("Scanned "), std::string::npos) << result.out;
    ExpectLinesOf(result.out, full.out);
    const std::vector<std::string> broken = BrokenPaths(result.out);
    const Snapshot now = Take(root);
    for (const auto& [path, bytes] : original) {
      if (!Contains(broken, path)) {
        EXPECT_EQ(now.at(path), bytes) << "unfinished file changed: " << path;
      }
    }
  }
  EXPECT_GT(stopped, 4);

  // A closed standard output stops the job at its first line, before any
  // file was finished.
  Restore(original);
  CliOptions closed;
  closed.closedStdout = true;
  EXPECT_EQ(RunCli({"--repair", root.string()}, closed).status, 141);
  EXPECT_EQ(Take(root), original);
}

int NiceOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  for (int i = 3; i <= 19; ++i) fields >> field;  // field 19: nice
  return std::stoi(field);
}

TEST_F(CliTest, ProgressLineOnATerminalAndIdlePriority) {
  const fs::path root = Library(16, 17);
  const CliResult plain = RunCli({"-j", "1", root.string()});
  EXPECT_EQ(plain.err, "");
  CliOptions onTerminal;
  onTerminal.stderrTerminal = true;
  const CliResult terminal = RunCli({"-j", "1", root.string()}, onTerminal);
  EXPECT_EQ(terminal.out, plain.out);
  EXPECT_EQ(terminal.status, plain.status);
  for (const char* part : {" files, ", " MB/s, ", " left"})
    EXPECT_NE(terminal.err.find(part), std::string::npos) << terminal.err;
  EXPECT_EQ(terminal.err.substr(terminal.err.size() - 4), "\r\x1b[K");  // taken away at the end

  for (bool idle : {true, false}) {
    std::vector<std::string> args = {"-j", "1", root.string()};
    if (!idle) args.insert(args.begin(), {"--priority", "normal"});
    CliProcess process(args);
    EXPECT_EQ(process.ReadFirstLine().rfind("Scanning ", 0), 0u);
    process.Signal(SIGSTOP);
    EXPECT_EQ(NiceOf(process.pid()), idle ? 19 : 0);
    const long ioprio = syscall(SYS_ioprio_get, 1 /* IOPRIO_WHO_PROCESS */, process.pid());
    if (ioprio >= 0) {
      EXPECT_EQ(ioprio >> 13 == 3 /* IOPRIO_CLASS_IDLE */, idle) << ioprio;
    }
    process.Signal(SIGCONT);
    EXPECT_EQ(process.Wait().status, 1);
  }
}

}  // namespace
}  // namespace velkscan

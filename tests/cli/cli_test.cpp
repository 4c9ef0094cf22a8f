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

#include "../scan/scantest.h"
#include "clitest.h"

namespace velkscan {
namespace {

using test::Bytes;
using test::CliOptions;
using test::CliProcess;
using test::CliResult;
using test::RunCli;
using test::ScratchDir;
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

class CliTest : public ::testing::Test {
 protected:
  fs::path Put(const std::string& name, const Bytes& bytes) {
    const fs::path path = dir_ / name;
    test::WriteBytes(path, bytes);
    return path;
  }
  std::string P(const std::string& name) const { return (dir_ / name).string(); }

  // A generated library: good, broken, tagged, unrecognised and other files
  // in nested folders.
  fs::path Library(double sizeMb, uint64_t seed = 5) {
    const fs::path root = dir_ / "library";
    gen::LibraryOptions options;
    options.sizeMb = sizeMb;
    options.seed = seed;
    gen::GenerateLibrary(root, options);
    return root;
  }

  ScratchDir dir_{"cli_"};
};

TEST_F(CliTest, ReportOnStandardOutputWithNewlines) {
  gen::GeneratedStream broken = test::MakeStream(7, 1500, 2);
  test::BreakFrame(broken, 1200);
  Put("a/good.vlk", test::MakeStream(6, 40, 1).bytes);
  Put("a/broken.VLK", broken.bytes);
  Put("a/tagged.vkq", test::MakeStream(5, 40, 3, gen::TagKind::Id3v2).bytes);
  Put("a/notes.txt", Bytes(20, 'x'));
  const CliResult result = RunCli({P("a"), P("missing.vlk")});
  EXPECT_EQ(result.out,
            "Scanning 4 files...\n"
            "----------\n" +
                P("a/broken.VLK") + ": broken after frame 1200/1500 (00:31)\n" + P("a/tagged.vkq") +
                ": invalid Velk, contains ID3v2 tag!\n" + P("missing.vlk") +
                ": file open failed.\n"
                "----------\n"
                "Scanned 4 files, errors with 2.\n");
  EXPECT_EQ(result.err, "");  // not a terminal: no progress line
  EXPECT_EQ(result.status, 1);
}

TEST_F(CliTest, EachArgumentIsOnePathInTheOrderGiven) {
  Put("b.vlk", test::MakeStream(7, 10, 4).bytes);
  Put("with \"quotes\" and spaces.vlk", test::MakeStream(7, 10, 5).bytes);
  const CliResult result = RunCli({P("with \"quotes\" and spaces.vlk"), P("b.vlk"), P("B.VLK"), P(""), "",
                                   P("with \"quotes\" and spaces.vlk")});
  EXPECT_EQ(result.out, "Scanning 2 files...\n----------\nScanned 2 files, no errors found.\n");
  EXPECT_EQ(result.status, 0);
}

TEST_F(CliTest, ExitStatusKeepsTheOutcomesApart) {
  Put("good/a.vlk", test::MakeStream(7, 20, 6).bytes);
  Put("good/tagged.vlk", test::MakeStream(4, 20, 7, gen::TagKind::Id3v2Footer).bytes);
  gen::GeneratedStream broken = test::MakeStream(5, 30, 8);
  test::BreakFrame(broken, 3);
  Put("broken/b.vlk", broken.bytes);
  Put("unknown/u.vlk", Bytes{'V', 'K', 'Q', 0x08, 0, 0, 0, 0});
  fs::create_directories(dir_ / "unopenable");
  fs::create_symlink(dir_ / "nowhere", dir_ / "unopenable" / "dangling.vlk");
  Put("other/x.txt", Bytes(3, 0));

  EXPECT_EQ(RunCli({P("good")}).status, 0);  // ID3v2 lines are no damage
  EXPECT_EQ(RunCli({P("broken")}).status, 1);
  EXPECT_EQ(RunCli({P("unknown")}).status, 1);
  const CliResult unopenable = RunCli({P("unopenable")});
  EXPECT_EQ(unopenable.status, 3);
  EXPECT_EQ(unopenable.out, "Scanning 1 file...\n" + P("unopenable/dangling.vlk") +
                                ": file open failed.\n----------\nScanned 1 file, errors with 1.\n");
  EXPECT_EQ(RunCli({P("unopenable"), P("broken")}).status, 1);
  EXPECT_EQ(RunCli({P("unopenable"), P("good")}).status, 3);

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
}

TEST_F(CliTest, HelpAndVersion) {
  const CliResult help = RunCli({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Usage: velkscan-cli [OPTIONS] [PATH...]"), std::string::npos);
  EXPECT_NE(help.out.find("--repair"), std::string::npos);
  const CliResult version = RunCli({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("velkscan-cli ", 0), 0u);
}

TEST_F(CliTest, ChecksOnlyByDefaultAndRepairsOnlyTheCountWhenAsked) {
  const fs::path root = Library(3);
  const Snapshot original = Take(root);
  const CliResult check = RunCli({root.string()});
  EXPECT_EQ(check.status, 1);
  EXPECT_EQ(Take(root), original);  // nothing written

  const CliResult repair = RunCli({"--repair", root.string()});
  EXPECT_EQ(repair.out, check.out);  // the same lines
  EXPECT_EQ(repair.status, 1);
  const std::vector<std::string> broken = BrokenPaths(repair.out);
  ASSERT_GE(broken.size(), 5u);
  const Snapshot after = Take(root);
  for (const auto& [path, bytes] : original) {
    const Bytes& now = after.at(path);
    ASSERT_EQ(now.size(), bytes.size()) << path;
    size_t first = 0;
    while (first < bytes.size() && now[first] == bytes[first]) ++first;
    const bool reported = std::find(broken.begin(), broken.end(), path) != broken.end();
    if (first == bytes.size()) continue;  // unchanged (also a repair that wrote the same count)
    EXPECT_TRUE(reported) << "changed without a broken line: " << path;
    // Only the frame-count bytes of the header block changed.
    size_t last = bytes.size() - 1;
    while (now[last] == bytes[last]) --last;
    EXPECT_LE(last - first, 3u) << path;
  }
  // A second check of the repaired library finds those files whole, except
  // where the count claims frames a broken stream cannot give.
  const CliResult again = RunCli({root.string()});
  EXPECT_LT(BrokenPaths(again.out).size(), broken.size());
}

TEST_F(CliTest, ParallelJobsGiveIdenticalOutputFilesAndStatus) {
  const fs::path root = Library(4, 9);
  const Snapshot original = Take(root);
  for (const std::vector<std::string>& mode :
       std::vector<std::vector<std::string>>{{}, {"--repair"}, {"--json"}, {"--repair", "--json"}}) {
    Restore(original);
    std::vector<std::string> args = mode;
    args.insert(args.end(), {"-j", "1", root.string()});
    const CliResult one = RunCli(args);
    const Snapshot oneFiles = Take(root);
    for (const char* jobs : {"2", "5"}) {
      Restore(original);
      args[args.size() - 2] = jobs;
      const CliResult many = RunCli(args);
      EXPECT_EQ(many.out, one.out) << testing::PrintToString(args);
      EXPECT_EQ(many.status, one.status) << testing::PrintToString(args);
      EXPECT_EQ(Take(root), oneFiles) << testing::PrintToString(args);
    }
    if (mode.empty() || mode[0] != "--repair") {
      EXPECT_EQ(oneFiles, original);
    }
  }
}

TEST_F(CliTest, JsonObjectsPerFileThenSummary) {
  gen::GeneratedStream broken = test::MakeStream(23, 900, 10, gen::TagKind::Id3v2);
  test::BreakFrame(broken, 700);
  Put("j/1.vlk", broken.bytes);
  Put("j/2.vlk", test::MakeStream(4, 50, 11).bytes);
  Put("j/3.vlk", Bytes{'V', 'K', 'Q', 0x07, 1, 2});
  const CliResult result = RunCli({"--json", "--repair", P("j"), P("j/4.vlk")});
  EXPECT_EQ(result.status, 1);
  const std::vector<std::string> lines = Lines(result.out);
  ASSERT_EQ(lines.size(), 5u) << result.out;
  using nlohmann::json;
  const json first = json::parse(lines[0]);
  EXPECT_EQ(first["type"], "file");
  EXPECT_EQ(first["path"], P("j/1.vlk"));
  EXPECT_EQ(first["status"], "broken");
  EXPECT_EQ(first["code"], 0);
  EXPECT_EQ(first["goodFrames"], 700);
  EXPECT_EQ(first["declaredFrames"], 900);
  EXPECT_EQ(first["playSeconds"], 700 * 1152 / 44100);
  EXPECT_EQ(first["failOffset"], broken.ByteOfBit(broken.frames[700].lengthFieldBit));
  EXPECT_EQ(first["id3v2"], true);
  EXPECT_EQ(first["headerRewritten"], true);
  EXPECT_EQ(first["rewriteOk"], true);
  const json second = json::parse(lines[1]);
  EXPECT_EQ(second["status"], "ok");
  EXPECT_EQ(second["goodFrames"], 50);
  EXPECT_EQ(second["failOffset"], nullptr);
  EXPECT_EQ(second["headerRewritten"], false);
  EXPECT_EQ(second["rewriteOk"], nullptr);
  const json third = json::parse(lines[2]);
  EXPECT_EQ(third["status"], "unrecognized");
  EXPECT_EQ(third["code"], 4294967295u);  // -1: too short for the header block
  EXPECT_EQ(third["goodFrames"], nullptr);
  const json fourth = json::parse(lines[3]);
  EXPECT_EQ(fourth["status"], "open-failed");
  EXPECT_EQ(fourth["code"], nullptr);
  const json summary = json::parse(lines[4]);
  EXPECT_EQ(summary, json::parse(R"({"type":"summary","files":4,"errors":3,"ok":1,"broken":1,)"
                                 R"("unrecognized":1,"openFailed":1,"id3v2":1,"repaired":1})"));
}

TEST_F(CliTest, JournalAndUndoPutTheOldBytesBack) {
  const fs::path root = Library(3, 12);
  const Snapshot original = Take(root);
  const std::string journal = P("repairs.journal");
  const CliResult repair = RunCli({"--repair", "--journal", journal, root.string()});
  EXPECT_EQ(repair.status, 1);
  const std::vector<std::string> entries = Lines(test::ReadBytes(journal).empty() ? std::string() : [&] {
    const Bytes bytes = test::ReadBytes(journal);
    return std::string(bytes.begin(), bytes.end());
  }());
  EXPECT_EQ(entries.size(), BrokenPaths(repair.out).size());
  EXPECT_NE(Take(root), original);

  const CliResult undo = RunCli({"--undo", journal});
  EXPECT_EQ(undo.status, 0) << undo.out << undo.err;
  EXPECT_EQ(Lines(undo.out).size(), entries.size());
  for (const std::string& line : Lines(undo.out))
    EXPECT_NE(line.find(" restored."), std::string::npos) << line;
  EXPECT_EQ(Take(root), original);

  // Nothing holds the repaired bytes any more: nothing is done.
  const CliResult again = RunCli({"--undo", journal});
  EXPECT_EQ(again.status, 1);
  for (const std::string& line : Lines(again.out)) {
    EXPECT_NE(line.find("not restored, the header at "), std::string::npos) << line;
  }
  EXPECT_EQ(Take(root), original);

  // A journal with a line that is not an entry changes nothing at all.
  RunCli({"--repair", "--journal", journal, root.string()});
  const Snapshot repaired = Take(root);
  {
    std::ofstream out(journal, std::ios::app);
    out << "not a journal line\n";
  }
  const CliResult broken = RunCli({"--undo", journal});
  EXPECT_EQ(broken.status, 2);
  EXPECT_NE(broken.err.find(":" + std::to_string(2 * entries.size() + 1) + ": not a journal line"),
            std::string::npos)
      << broken.err;
  EXPECT_EQ(Take(root), repaired);
}

// Read-only files: checked by default, "file open failed." with --repair.
TEST_F(CliTest, ReadOnlyFilesAreCheckedButNotRepaired) {
  CliOptions options;
  if (geteuid() == 0) {
    // Root writes anything: run as nobody instead.
    if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "no setpriv to drop root";
    options.prefix = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  }
  gen::GeneratedStream broken = test::MakeStream(7, 80, 18);
  test::BreakFrame(broken, 30);
  const fs::path path = Put("ro/locked.vlk", broken.bytes);
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
  EXPECT_EQ(test::ReadBytes(path), broken.bytes);
}

TEST_F(CliTest, KeepTimesKeepsTheTimesOfARepairedFile) {
  gen::GeneratedStream broken = test::MakeStream(7, 100, 13);
  test::BreakFrame(broken, 40);
  const fs::path path = Put("t.vlk", broken.bytes);
  const timespec old[2] = {{1200000000, 5}, {1300000000, 7}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
  EXPECT_EQ(RunCli({"--repair", "--keep-times", path.string()}).status, 1);
  struct stat after;
  ASSERT_EQ(stat(path.c_str(), &after), 0);
  EXPECT_EQ(after.st_mtim.tv_sec, old[1].tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, old[1].tv_nsec);
  EXPECT_EQ(after.st_atim.tv_sec, old[0].tv_sec);
  EXPECT_NE(test::ReadBytes(path), broken.bytes);
}

// Interrupted at many moments: the job stops between frames, writes no
// summary, exits with 130; a file is changed exactly when its broken line
// was written.
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
    const char* jobs = round % 2 == 0 ? "1" : "2";
    CliProcess process({"--repair", "-j", jobs, "--priority", "normal", root.string()});
    std::this_thread::sleep_for(std::chrono::microseconds(random() % (runTime.count() + 1)));
    process.Signal(round % 4 == 3 ? SIGTERM : SIGINT);
    const CliResult result = process.Wait();
    if (result.status == 128 + SIGTERM && result.out.empty()) {
      // Ended before main could take the signal: nothing was opened yet.
      EXPECT_EQ(Take(root), original) << "round " << round;
      continue;
    }
    if (result.status != 130) {
      EXPECT_EQ(result.status, 1);
      EXPECT_EQ(result.out, full.out);
      continue;
    }
    ++stopped;
    EXPECT_EQ(result.out.find("Scanned "), std::string::npos) << result.out;
    // Every line written is a line of the full report, in its order.
    size_t from = 0;
    for (const std::string& line : Lines(result.out)) {
      const size_t at = full.out.find(line + "\n", from);
      ASSERT_NE(at, std::string::npos) << line;
      from = at + line.size();
    }
    const std::vector<std::string> broken = BrokenPaths(result.out);
    const Snapshot now = Take(root);
    for (const auto& [path, bytes] : original) {
      const bool reported = std::find(broken.begin(), broken.end(), path) != broken.end();
      if (!reported) {
        EXPECT_EQ(now.at(path), bytes) << "round " << round << ": unfinished file changed " << path;
      }
    }
  }
  EXPECT_GT(stopped, 4);
}

TEST_F(CliTest, ClosedStandardOutputStopsTheJob) {
  const fs::path root = Library(6, 15);
  const Snapshot original = Take(root);
  CliOptions closed;
  closed.closedStdout = true;
  const CliResult result = RunCli({"--repair", root.string()}, closed);
  EXPECT_EQ(result.status, 141);
  // It stopped at the first line, before any file was finished.
  EXPECT_EQ(Take(root), original);
}

TEST_F(CliTest, ProgressLineOnlyOnATerminal) {
  const fs::path root = Library(8, 16);
  const CliResult plain = RunCli({"-j", "1", root.string()});
  EXPECT_EQ(plain.err, "");
  CliOptions onTerminal;
  onTerminal.stderrTerminal = true;
  const CliResult terminal = RunCli({"-j", "1", root.string()}, onTerminal);
  EXPECT_EQ(terminal.out, plain.out);
  EXPECT_EQ(terminal.status, plain.status);
  EXPECT_NE(terminal.err.find(" files, "), std::string::npos) << terminal.err;
  EXPECT_NE(terminal.err.find(" MB/s, "), std::string::npos) << terminal.err;
  EXPECT_NE(terminal.err.find(" left"), std::string::npos) << terminal.err;
  // The line is taken away at the end.
  EXPECT_EQ(terminal.err.substr(terminal.err.size() - 4), "\r\x1b[K");
}

int NiceOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  for (int i = 3; i <= 19; ++i) fields >> field;  // field 19: nice
  return std::stoi(field);
}

TEST_F(CliTest, RunsAtIdlePriorityUnlessAskedNotTo) {
  const fs::path root = Library(16, 17);
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

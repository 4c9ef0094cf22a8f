// velkscan-cli's writes end to end: the journal on disk before each header write, --undo and what it refuses,
// a kill, a stop signal or a closed output mid-run, --keep-times, reads and writes that fail.
#include "clitest.h"

namespace velkscan {
namespace {

// A new journal opens with its heading; one without it, as earlier versions
// wrote it, is still appended to, and --undo reads both.
TEST_F(CliTest, AJournalWithoutTheHeadingStillServes) {
  const Bytes broken = test::MakeBroken(5, 30, 3, 8).bytes;
  const std::string a = Put("a.vlk", broken), b = Put("b.vlk", broken);
  const std::string journal = P("new.journal");
  const ProcessResult repaired = Cli({"-r", "--journal", journal, a});
  EXPECT_EQ(repaired.status, 1);  // it was broken
  EXPECT_TRUE(Has(repaired.out, "Repaired 1 file, journalled in " + journal +
                                    ".\nUndo with: velkscan-cli --undo " + journal + "\n"))
      << repaired.out;
  const std::vector<std::string> lines = Lines(FileText(journal));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(lines[0].rfind("# velkscan-cli repair journal", 0) == 0) << lines[0];
  std::ofstream(P("old.journal")) << lines[1] << "\n";
  EXPECT_EQ(Cli({"-r", "--journal", P("old.journal"), b}).status, 1);
  EXPECT_EQ(Lines(FileText(P("old.journal"))).size(), 2u);
  EXPECT_EQ(Cli({"-r", "--journal", journal, a}).status, 0);  // our own journal; a repaired file is whole
  for (const std::string& undo : {journal, P("old.journal")}) EXPECT_EQ(Cli({"--undo", undo}).status, 0);
  EXPECT_TRUE(ReadBytes(a) == broken && ReadBytes(b) == broken);
}

// The journal line is on disk before the header is written: killed at any moment at -j 2, every changed file
// is in the journal, and --undo (from another folder) puts the library back.
TEST_F(CliTest, AKillLeavesEveryChangedFileInTheJournal) {
  const fs::path root = Library(6, 12);
  const Snapshot original = Take(root);
  const std::string journal = P("repairs.journal");
  std::mt19937 random(5);
  const ProcessOptions elsewhere{.cwd = "/"};
  for (int round = 0; round < 8; ++round) {
    Restore(original);
    fs::remove(journal);
    test::Process process(
        VELKSCAN_CLI, {"--repair", "-j", "2", "--priority", "normal", "--journal", journal, root.string()});
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 400000));
    process.Signal(SIGKILL);
    process.Wait();
    const std::string text = FileText(journal);
    for (const auto& [path, bytes] : Take(root))
      EXPECT_TRUE(bytes == original.at(path) || Has(text, "\t" + path + "\n")) << "not journalled: " << path;
    Cli({"--undo", journal}, elsewhere);
    EXPECT_TRUE(Take(root) == original) << "round " << round;
  }
}

// A journal that cannot be written (a full disk; the file size limit, EFBIG as a full disk: no signal ends
// the program) stops the job before anything is changed: a repair asked for that did not happen.
TEST_F(CliTest, AJournalThatCannotBeWrittenStopsTheJob) {
  for (const char* name : {"lib/a.vlk", "lib/b.vlk"}) Put(name, test::MakeBroken(7, 80, 30, 18).bytes);
  const Snapshot original = Take(P("lib"));
  const std::tuple<std::string, ProcessOptions, const char*> journals[] = {
      {"/dev/full", {}, "/dev/full (No space left on device)"},
      {P("f.journal"), {.prefix = {"/usr/bin/prlimit", "--fsize=120", "--"}}, "(File too large)"}};
  for (const auto& [journal, options, error] : journals) {
    const ProcessResult result = Cli({"--repair", "-j", "2", "--journal", journal, P("lib")}, options);
    EXPECT_EQ(result.status, 4);
    EXPECT_TRUE(Has(result.err, error)) << result.err;
    EXPECT_TRUE(Has(result.out, ": repair failed (journal not written).")) << result.out;
    EXPECT_TRUE(Take(P("lib")) == original);
  }
}

// --undo acts only where a repair could have written: every crafted line is refused with its reason (and
// changes nothing), the genuine one is undone, one already undone is no error.
TEST_F(CliTest, UndoRefusesWhatNoRepairWrote) {
  const Bytes broken = test::MakeBroken(7, 80, 30, 18).bytes;
  const std::string vlk = Put("u/broken.vlk", broken), done = Put("u/done.vlk", broken);
  Bytes text(200, 'x');
  const std::string notes = Put("u/notes.txt", text), fake = Put("u/notes.vlk", text),
                    eio = Put("u/eio.vlk", broken);
  const std::string journal = P("u.journal");
  ASSERT_EQ(Cli({"--repair", "--journal", journal, vlk}).status, 1);
  const Bytes repaired = test::ReadBytes(vlk);
  const std::string genuine = Lines(FileText(journal)).at(1);  // after the heading
  const std::string before = Hex(Bytes(broken.begin(), broken.begin() + 32));
  const std::string after = Hex(Bytes(repaired.begin(), repaired.begin() + 32));
  const std::string xs = Hex(Bytes(text.begin(), text.begin() + 32)), zeros(64, '0');
  std::string other = after, badHex = after;
  other[9] = other[9] == '0' ? '1' : '0';  // another frame count
  badHex[63] = 'g';
  // The maximum band raised past 31 in the file and in both blocks: a header no repair writes.
  Bytes banded = repaired;
  banded[11] |= 0x3F;
  const std::string band = Put("u/band.vlk", banded), bandByte = Hex(Bytes{banded[11]});
  const std::string bandBefore = before.substr(0, 22) + bandByte + before.substr(24),
                    bandAfter = after.substr(0, 22) + bandByte + after.substr(24);
  auto line = [](const std::string& offset, const std::string& old, const std::string& now,
                 const std::string& path) {
    return "velkscan-repair\t" + offset + "\t" + old + "\t" + now + "\t" + path + "\n";
  };
  const std::pair<std::string, std::string> crafted[] = {
      {line("0", zeros, xs, notes), notes + ": not restored (not a Velk file name)."},
      {line("0", zeros, xs, fake), fake + ": not restored (no stream header this program repairs)."},
      {line("0", before, after, eio), eio + ": not restored (header not readable)."},  // failio: reads fail
      {line("8", before, after, vlk), vlk + ": not restored (stream header not at the journalled offset)."},
      {line("0", zeros, after, vlk),
       vlk + ": not restored (journalled bytes differ outside the frame count)."},
      {line("0", before, after, "u/broken.vlk"), "u/broken.vlk: not restored (path not absolute)."},
      {line("0", before, other, vlk), vlk + ": not restored (the header holds other bytes)."},
      {"velkscan-repair\t0\tnonsense\n", journal + ":10: not restored (not a journal line)."},
      {line("0", bandBefore, bandAfter, band),
       band + ": not restored (no stream header this program repairs)."},
      {line("0", before, badHex, vlk), journal + ":12: not restored (not a journal line)."},
  };
  std::string crafty = genuine + "\n" + line("0", before, after, done);
  for (const auto& [bad, reason] : crafted) crafty += bad;
  std::ofstream(journal, std::ios::trunc) << crafty << genuine.substr(0, 90);  // a torn last line
  const ProcessResult undo = Cli({"--undo", journal}, FailIo("VELKSCAN_FAIL_READ=u/eio.vlk:0"));
  EXPECT_EQ(undo.status, 1);
  for (const auto& [bad, reason] : crafted)
    EXPECT_TRUE(Has(undo.out, reason + "\n")) << reason << "\n" << undo.out;
  EXPECT_TRUE(Has(undo.out, journal + ":13: not restored (torn last line).")) << undo.out;
  EXPECT_TRUE(Has(undo.out, done + ": header at 0 already restored.")) << undo.out;
  EXPECT_TRUE(ReadBytes(vlk) == broken && ReadBytes(done) == broken);
  EXPECT_TRUE(ReadBytes(notes) == text && ReadBytes(fake) == text);
  std::ofstream(journal, std::ios::trunc) << line("0", before, after, done);
  EXPECT_EQ(Cli({"--undo", journal}).status, 0);  // already back: no error
}

// A journal that cannot be read (also one whose reads fail part way) changes nothing.
TEST_F(CliTest, AJournalThatCannotBeReadChangesNothing) {
  const std::string vlk = Put("u/broken.vlk", test::MakeBroken(7, 80, 30, 18).bytes);
  ASSERT_EQ(Cli({"--repair", "--journal", P("u.journal"), vlk}).status, 1);
  const Bytes repaired = test::ReadBytes(vlk);
  const std::string genuine = Lines(FileText(P("u.journal"))).at(1);  // after the heading
  std::ofstream(P("long.journal")) << genuine << "\n" << std::string(20000, 'x') << "\n";
  for (std::ofstream eio(P("eio.journal")); eio.tellp() < 400000;) eio << genuine << "\n";  // fails at 64 KiB
  const std::tuple<std::string, std::string, ProcessOptions> unreadable[] = {
      {P("u"), "is a directory", {}},
      {"/dev/zero", "longer than", {}},
      {P("none"), "cannot", {}},
      {P("long.journal"), "line 2", {}},
      {P("eio.journal"), "Input/output error", FailIo("VELKSCAN_FAIL_READ=eio.journal:65536")}};
  for (const auto& [path, message, options] : unreadable) {
    const ProcessResult result = Cli({"--undo", path}, options);
    EXPECT_EQ(result.status, 2) << path;
    EXPECT_TRUE(Has(result.err, message)) << result.err;
  }
  EXPECT_EQ(test::ReadBytes(vlk), repaired);
}

// Until a signal sent is taken by the process's handler.
void WaitForDelivery(pid_t pid) {
  for (bool pending = true; pending; std::this_thread::yield()) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
      if (line.rfind("ShdPnd:", 0) == 0) pending = std::stoull(line.substr(7), nullptr, 16) != 0;
  }
}

// Any stop signal at a random file, also at -j 2, each round held mid-run (its standard output is not read
// until the signal is taken): the job stops between frames, writes no summary, exits with 130; a file is
// changed only when its broken line was written.
TEST_F(CliTest, EveryStopSignalStopsLikeTheStopButton) {
  const Bytes broken = test::MakeBroken(7, 20, 10, 18).bytes;
  for (int i = 0; i < 1000; ++i) Put("lib/" + std::to_string(i) + ".vlk", broken);  // more than a pipe holds
  const Snapshot original = Take(P("lib"));
  std::mt19937 random(3);
  const int signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
  for (int round = 0; round < 8; ++round) {
    Restore(original);
    test::Process process(VELKSCAN_CLI,
                          {"--repair", "-j", round % 2 ? "2" : "1", "--priority", "normal", P("lib")});
    process.ReadFirstLine(1 + random() % 200);
    process.Signal(signals[round % 4]);
    WaitForDelivery(process.pid());
    const ProcessResult result = process.Wait();
    SCOPED_TRACE("round " + std::to_string(round));
    EXPECT_EQ(result.status, 130);
    EXPECT_FALSE(Has(result.out, "Scanned ")) << result.out;
    EXPECT_EQ(Has(result.out, "\nRepaired "), !(Take(P("lib")) == original)) << result.out;
    for (const auto& [path, bytes] : Take(P("lib")))
      EXPECT_TRUE(bytes == original.at(path) || Has(result.out, path + ": broken after")) << path;
  }
}

// Ctrl-C mid-run (held there: its standard output is not read until the signal is taken): standard error
// says how far the run came (whole files count, though the text gives them no line), the JSON ends with a
// summary that says it stopped, of the files before it (their errors as their lines say), and the text names
// no repairs or copies when there were none.
TEST_F(CliTest, AStopSaysHowFarTheRunCame) {
  const Bytes whole = test::MakeStream(7, 2, 1).bytes;
  for (int i = 0; i < 600; ++i)  // more output than a pipe holds, in text too; nothing to repair or salvage
    Put("lib/" + std::string(200, 'u') + std::to_string(i) + ".vlk", i % 2 == 0 ? whole : Bytes(64, 'x'));
  for (std::vector<std::string> args :
       {std::vector<std::string>{"--json"}, {"--repair"}, {"--map", "--salvage", P("s")}}) {
    args.insert(args.end(), {"-j", "1", "--priority", "normal", P("lib")});
    test::Process process(VELKSCAN_CLI, args);
    process.ReadFirstLine();
    process.Signal(SIGINT);
    WaitForDelivery(process.pid());
    const ProcessResult result = process.Wait();
    EXPECT_EQ(result.status, Code(ExitStatus::kStopped));
    const std::vector<std::string> lines = Lines(result.out);
    ASSERT_FALSE(lines.empty()) << result.err;
    unsigned reported = 0;
    ASSERT_EQ(std::sscanf(result.err.c_str(), "Stopped after %u of 600 files.", &reported), 1) << result.err;
    EXPECT_EQ(result.err, "Stopped after " + std::to_string(reported) + " of 600 files.\n");
    EXPECT_LT(reported, 600u);
    // Every file reported has a JSON line; in text only the ones that are not whole have a line.
    if (args[0] != "--json") {
      EXPECT_GE(reported, lines.size() - 1);
      for (std::size_t i = 1; i < lines.size(); ++i)
        EXPECT_TRUE(Has(lines[i], ": unrecognized format (")) << lines[i];
      continue;
    }
    EXPECT_EQ(reported, lines.size() - 1);
    const nlohmann::json summary = nlohmann::json::parse(lines.back());
    EXPECT_TRUE(summary.value("stopped", false)) << lines.back();
    EXPECT_EQ(summary.value("files", 0u), lines.size() - 1);
    std::size_t errors = 0;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i)
      errors += nlohmann::json::parse(lines[i]).value("status", "") != "ok";
    EXPECT_EQ(summary.value("errors", 0u), errors);
    EXPECT_EQ(summary.value("ok", 0u), lines.size() - 1 - errors);
  }
}

TEST_F(CliTest, AClosedStandardOutputStopsTheRunAtItsFirstLine) {
  const fs::path root = Library(6, 14);
  const Snapshot original = Take(root);
  EXPECT_EQ(Cli({"--repair", root.string()}, {.closedStdout = true}).status, 141);
  EXPECT_TRUE(Take(root) == original);
}

// A broken file with old times, for --keep-times (not FileTimes: the platform's type of that name
// is in the same namespace).
class OldTimes : public CliTest {
 protected:
  // Before the test reads the file (a read may move its access time).
  bool KeptTimes(bool accessToo = true) const {
    struct stat now;
    return stat(path_.c_str(), &now) == 0 && now.st_mtim.tv_sec == old_[1].tv_sec &&
           now.st_mtim.tv_nsec == old_[1].tv_nsec &&
           (!accessToo || (now.st_atim.tv_sec == old_[0].tv_sec && now.st_atim.tv_nsec == old_[0].tv_nsec));
  }
  const Bytes broken_ = test::MakeBroken(7, 80, 30, 18).bytes;
  const std::string path_ = Put("t.vlk", broken_);
  const timespec old_[2] = {{1200000000, 5}, {1300000000, 7}};
};

// A repair with --keep-times keeps the file's times; its undo only when asked too.
TEST_F(OldTimes, KeepTimesKeepsTheTimesOfARepairAndOfAnUndoOnlyWhenAsked) {
  for (bool keep : {true, false}) {
    Put("t.vlk", broken_);
    ASSERT_EQ(utimensat(AT_FDCWD, path_.c_str(), old_, 0), 0);
    EXPECT_EQ(Cli({"--repair", "--keep-times", "--journal", P("t.journal"), path_}).status, 1);
    EXPECT_TRUE(KeptTimes());
    EXPECT_NE(test::ReadBytes(path_), broken_);
    std::vector<std::string> undo = {"--undo", P("t.journal")};
    if (keep) undo.push_back("--keep-times");
    EXPECT_EQ(Cli(undo).status, 0);
    EXPECT_EQ(KeptTimes(false), keep);
    EXPECT_EQ(test::ReadBytes(path_), broken_);
    fs::remove(P("t.journal"));
  }
}

// A file whose header claims frames past its end, well past the ring's first 64 KiB, for the faults below.
class Faults : public CliTest {
 protected:
  static Bytes OverClaimed() {
    gen::GeneratedStream s = test::MakeStream(7, 1500, 3);
    gen::OverClaim(s.bytes, s.headerPos, 7, 5000);
    return s.bytes;
  }
  const Bytes bytes_ = OverClaimed();
  const std::string path_ = Put("f/failing.vlk", bytes_);
};

// A header write that fails says so (exit 4), a journal that cannot take its heading is refused; a read that
// fails is no damage (exit 3, at the first fill or a refill, the file broken past its real frames too):
// either way the file stays as it was. Without the fault the same file is repaired.
TEST_F(Faults, AFailedReadOrWriteLeavesTheFileAsItWas) {
  const std::tuple<const char*, const char*, int> faults[] = {
      {"VELKSCAN_FAIL_WRITE=failing.vlk", "\"notRepaired\":\"write-failed\"", 4},
      {"VELKSCAN_FAIL_READ=failing.vlk:300", "\"status\":\"read-error\"", 3},
      {"VELKSCAN_FAIL_READ=failing.vlk:98304", "\"status\":\"read-error\"", 3},
      {"VELKSCAN_FAIL_READ=", "\"status\":\"broken\"", 1}};
  const ProcessResult unjournalled =
      Cli({"-r", "--journal", P("j"), path_}, FailIo("VELKSCAN_FAIL_WRITE=/j"));
  EXPECT_TRUE(Has(unjournalled.err, "cannot open the journal " + P("j") + ": Input/output error"))
      << unjournalled.err;
  EXPECT_TRUE(unjournalled.status == 2 && test::ReadBytes(path_) == bytes_);  // refused before any write
  for (const auto& [fault, status, exit] : faults) {
    const ProcessResult result = Cli({"--repair", "--json", path_}, FailIo(fault));
    EXPECT_EQ(result.status, exit) << fault << result.out;
    EXPECT_TRUE(Has(result.out, status)) << fault << result.out;
    EXPECT_EQ(test::ReadBytes(path_) == bytes_, exit != 1) << fault;
  }
}

// A file that opens for reading only (as nobody, where root writes anything).
TEST_F(Faults, AFileOpenForReadingOnlyIsExit4) {
  for (const fs::path& dir : {dir_.path(), dir_.path() / "f"}) fs::permissions(dir, fs::perms::all);
  fs::permissions(path_, fs::perms::owner_read | fs::perms::others_read);
  ProcessOptions readOnly;
  if (geteuid() == 0)
    readOnly.prefix = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  const ProcessResult ro = Cli({"-r", "-j", "1", path_}, readOnly);
  EXPECT_EQ(ro.status, 4);
  EXPECT_TRUE(Has(ro.out, "not repaired (read-only)")) << ro.out;
  EXPECT_EQ(test::ReadBytes(path_), bytes_);
}

TEST_F(Faults, AnUndoWhoseReportCannotBeWrittenIsNotExit0) {
  Cli({"-r", "--journal", P("g.journal"), path_});
  EXPECT_EQ(
      Cli({"--undo", P("g.journal")}, {.prefix = {"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/full"}}).status,
      141);
}

}  // namespace
}  // namespace velkscan

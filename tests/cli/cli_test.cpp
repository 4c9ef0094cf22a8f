// velkscan-cli end to end on generated files: exit status, the files' bytes and its own
// glue (options, JSON, journal, --undo, signals, terminals, faults); report text: report_test.
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
namespace {

namespace fs = std::filesystem;
using namespace test;  // NOLINT: the helpers of tests/support

// At normal priority unless the test says otherwise: an idle run waits for all else on the machine.
ProcessResult Cli(std::vector<std::string> args, const ProcessOptions& options = {}) {
  if (std::find(args.begin(), args.end(), "--priority") == args.end())
    args.insert(args.begin(), {"--priority", "normal"});
  return test::Run(VELKSCAN_CLI, args, options);
}

std::string FileText(const std::string& path) {
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

TEST_F(CliTest, EachRunEndsWithTheExitStatusOfWhatItFound) {
  Put("good/a.vlk", test::MakeStream(7, 20, 6).bytes);
  Put("good/tagged.vlk", test::MakeStream(4, 20, 7, gen::TagKind::Id3v2Footer).bytes);
  Put("broken/b.vlk", test::MakeBroken(5, 30, 3, 8).bytes);
  Put("broken/none.txt", {1});
  Put("unknown/u.vlk", Bytes{'V', 'K', 'Q', 0x08, 0, 0, 0, 0});
  fs::create_directories(dir_ / "unopenable");
  fs::create_symlink(dir_ / "nowhere", dir_ / "unopenable" / "dangling.vlk");
  const std::pair<std::vector<std::string>, int> runs[] = {
      {{P("good")}, 0},  // ID3v2 lines are no damage
      {{P("broken")}, 1},
      {{P("unknown")}, 1},
      {{P("unopenable")}, 3},
      {{P("unopenable"), P("broken")}, 1},
      {{P("nothing")}, 3},
      {{P("broken/none.txt")}, 2},  // no Velk file, and nothing unchecked
      {{}, 2},
      {{"--bogus", P("good")}, 2},
      {{"-j", "0", P("good")}, 2},
      {{"--journal", P("j"), P("good")}, 2},
      {{"--keep-times", P("good")}, 2},
      {{"--undo", P("j"), P("good")}, 2},
      {{"--salvage", P("s"), "--repair", P("broken")}, 2},
      {{"--files-from", P("good")}, 2},  // a folder is no list
  };
  for (const auto& [args, status] : runs) EXPECT_EQ(Cli(args).status, status) << testing::PrintToString(args);
}

// After "--" a name is a name (-r before it still counts): velkscan-cli -r -- *
// never takes a file named -r.vlk for an option.
TEST_F(CliTest, DoubleDashEndsTheOptions) {
  const Bytes broken = test::MakeBroken(5, 30, 3, 8).bytes;
  Put("-r.vlk", broken);
  const ProcessOptions here{.cwd = dir_.path().string()};
  EXPECT_EQ(Cli({"--", "-r.vlk"}, here).status, 1);
  EXPECT_EQ(test::ReadBytes(P("-r.vlk")), broken);
  EXPECT_EQ(Cli({"-r", "--", "-r.vlk"}, here).status, 1);
  EXPECT_NE(test::ReadBytes(P("-r.vlk")), broken);
}

// Paths not checked come first in JSON, and the summary counts them; a missing Velk name is a file.
TEST_F(CliTest, JsonListsPathsNotCheckedBeforeTheFiles) {
  Put("good/a.vlk", test::MakeStream(7, 20, 6).bytes);
  const std::string overlong = P(std::string(5000, 'x') + ".vlk");
  const ProcessResult json = Cli({"--json", P("good"), overlong, P("nothing"), P("gone.VLK")});
  const std::vector<std::string> objects = Lines(json.out);
  ASSERT_EQ(objects.size(), 5u) << json.out;
  EXPECT_EQ(nlohmann::json::parse(objects[3])["path"], P("gone.VLK"));  // in list order, after good/
  EXPECT_EQ(nlohmann::json::parse(objects[3])["status"], "open-failed");
  EXPECT_EQ(json.status, 3);  // nothing damaged, but some not checked or not opened
  EXPECT_EQ(nlohmann::json::parse(objects[0]),
            nlohmann::json({{"type", "notChecked"}, {"path", overlong}, {"reason", "too-long"}}));
  EXPECT_EQ(nlohmann::json::parse(objects[1])["reason"], "missing");
  EXPECT_EQ(nlohmann::json::parse(objects.back())["notChecked"], 2) << json.out;
}

// The help in its groups within 80 columns, with every exit status of the program's own table; an unknown
// option is said after the program's name with the one meant and the usage line.
TEST_F(CliTest, HelpAndUsageErrorsSpeakPlainly) {
  const std::string help = Cli({"--help"}).out;
  std::size_t at = 0;
  for (const char* part : {"[OPTIONS] [--] [PATH...]", "\nChecking:\n", "\nRepairing:\n", "\nRecovering:\n",
                           "\nRemembering:\n", "\nOutput:\n", "\\xHH", "\nExit status:\n"})
    EXPECT_NE(at = help.find(part, at), std::string::npos) << part;
  for (const ExitStatusMeaning& meaning : kExitStatusMeanings)
    EXPECT_NE(help.find("\n  " + std::to_string(Code(meaning.status)) + " ", at), std::string::npos);
  for (const std::string& line : Lines(help)) EXPECT_LE(line.size(), 80u) << line;
  const ProcessResult typo = Cli({"--repiar", P("a.vlk")});
  EXPECT_EQ(typo.status, Code(ExitStatus::kUsage));
  EXPECT_EQ(Lines(typo.err).at(0), "velkscan-cli: unknown option --repiar (did you mean --repair?)");
  EXPECT_EQ(Lines(typo.err).at(1), "Usage: velkscan-cli [OPTIONS] [--] [PATH...]");
}

// JSON objects of a run: each file's path (its bytes: pathHex where it is not UTF-8), and each path not
// checked, by type.
std::map<std::string, std::set<std::string>> Listed(const ProcessResult& run, const std::string& below = "") {
  std::map<std::string, std::set<std::string>> listed;
  for (const std::string& line : Lines(run.out)) {
    const nlohmann::json object = nlohmann::json::parse(line);
    if (object["type"] == "summary") continue;
    const std::string path = object["path"];
    listed[object["type"]].insert(path.substr(path.rfind(below, 0) == 0 ? below.size() : 0));
  }
  return listed;
}

// --files-from takes each name exactly as its bytes (NUL-ended with --null, from standard input too), as an
// argument is taken: a folder walked, a name without a Velk extension left out, a missing one not checked.
TEST_F(CliTest, AFileListNamesPathsAsArgumentsDo) {
  const Bytes broken = test::MakeBroken(5, 30, 3, 8).bytes;
  const std::string odd = Put(" -r\x01\\ b.vlk", broken), inFolder = Put("d/c.vlk", broken),
                    lined = Put("new\nline.vlk", broken);
  Put("notes.txt", {1});
  const std::string names = odd + "\n" + P("d") + "\n" + P("notes.txt") + "\n" + P("gone") + "\n";
  std::string nul = names + lined;
  std::replace(nul.begin(), nul.begin() + static_cast<std::ptrdiff_t>(names.size()), '\n', '\0');
  std::ofstream(P("list")) << names;
  std::ofstream(P("list0")) << nul;
  const ProcessOptions fromStdin{.prefix = {"/bin/sh", "-c", "exec \"$0\" \"$@\" <\"$LIST\""},
                                 .env = {{"LIST", P("list0")}}};
  const auto lines = Listed(Cli({"--json", "--files-from", P("list")}));
  EXPECT_EQ(lines.at("file"), std::set<std::string>({odd, inFolder}));
  EXPECT_EQ(lines.at("notChecked"), std::set<std::string>({P("gone")}));
  const auto nuls = Listed(Cli({"--json", "--files-from", "-", "--null"}, fromStdin));
  EXPECT_EQ(nuls.at("file"), std::set<std::string>({odd, inFolder, lined}));
}

// --exclude: a name at any depth, a path below the folder given (or its end), anchored, a folder only;
// what it leaves out is neither listed nor counted.
TEST_F(CliTest, ExcludedFilesAndFoldersAreLeftOut) {
  const Bytes broken = test::MakeBroken(5, 30, 3, 8).bytes;
  for (const char* name : {"Trash/a.vlk", "keep/b.vlk", "keep/b.bak.vlk", "x/keep/c.vlk"}) Put(name, broken);
  using Names = std::set<std::string>;
  const std::pair<std::vector<std::string>, Names> runs[] = {
      {{"Trash"}, {"keep/b.bak.vlk", "keep/b.vlk", "x/keep/c.vlk"}},
      {{"*.bak.vlk", "/x/"}, {"Trash/a.vlk", "keep/b.vlk"}},
      {{"keep/*"}, {"Trash/a.vlk"}},
      {{"/keep/*", "c.vlk/"}, {"Trash/a.vlk", "x/keep/c.vlk"}},  // a folder only
  };
  for (const auto& [patterns, checked] : runs) {
    std::vector<std::string> args = {"--json", dir_.path().string()};
    for (const std::string& pattern : patterns) args.insert(args.begin(), {"--exclude", pattern});
    const ProcessResult run = Cli(args);
    ASSERT_NE(run.out, "") << run.err;
    EXPECT_EQ(Listed(run, dir_.path().string() + "/")["file"], checked) << patterns[0];
    EXPECT_EQ(nlohmann::json::parse(Lines(run.out).back())["files"], checked.size());
  }
}

// -x walks no folder of another file system (a tmpfs in a mount namespace of the run's own), and says so.
TEST_F(CliTest, OneFileSystemSaysWhichFoldersItLeftUnwalked) {
  const std::string broken = Put("broken.vlk", test::MakeBroken(5, 30, 3, 8).bytes);
  Put("lib/a.vlk", test::MakeStream(7, 20, 6).bytes);
  fs::create_directories(P("lib/mnt"));
  const std::string mount = "mount -t tmpfs none \"$M\" && cp \"$B\" \"$M\" && exec \"$0\" \"$@\"";
  const ProcessOptions mounted{.prefix = {"/usr/bin/unshare", "-m", "/bin/sh", "-c", mount},
                               .env = {{"M", P("lib/mnt")}, {"B", broken}}};
  if (test::Run("/bin/true", {}, mounted).status != 0)
    GTEST_SKIP() << "not run: this machine lets no tmpfs be mounted in a mount namespace (unshare -m)";
  const ProcessResult kept = Cli({"-x", P("lib")}, mounted);
  EXPECT_EQ(kept.status, Code(ExitStatus::kNotAllChecked));
  EXPECT_TRUE(Has(kept.out, P("lib/mnt") + ": not checked (another file system).\n")) << kept.out << kept.err;
  EXPECT_TRUE(Has(kept.out, "Scanned 1 file, errors with 1.")) << kept.out;
  EXPECT_EQ(Cli({P("lib")}, mounted).status, Code(ExitStatus::kDamaged));  // the copy on the tmpfs
}

// A name that could forge a report line or drive a terminal.
const std::string kOddName = "a\nb.vlk: broken after frame 1/1 (00:00)\x1b]0;t\x07\x1b[31m\xff.vlk";

// JSON (and a pipe) keep a name exactly, in hex too when it is not UTF-8.
TEST_F(CliTest, APipeOrJsonKeepsANameExactly) {
  const std::string path = Put("n/" + kOddName, test::MakeBroken(7, 40, 20, 10).bytes);
  const auto file = nlohmann::json::parse(Lines(Cli({"--json", P("n")}).out).front());
  EXPECT_EQ(file["pathHex"], Hex(Bytes(path.begin(), path.end())));
  EXPECT_EQ(file["goodFrames"], 20);
  EXPECT_TRUE(Has(Cli({P("n")}).out, path + ": broken after frame 20/40"));
}

// On a terminal every line that carries a name shows its control characters
// escaped, in every mode and on both streams.
TEST_F(CliTest, ATerminalSeesEveryNamesControlCharactersEscaped) {
  const std::string path = Put("n/" + kOddName, test::MakeBroken(7, 40, 20, 10).bytes);
  const std::string shownName = "a\\x0ab.vlk: broken after frame 1/1 (00:00)\\x1b]0;t\\x07\\x1b[31m\\xff.vlk";
  const std::string journal = P("j\x1b[2J.journal");
  fs::create_directories(P("d\x07"));
  const ProcessOptions terminal{.stdoutTerminal = true, .stderrTerminal = true};
  const std::pair<std::vector<std::string>, std::string> modes[] = {
      {{"--map", "--salvage", P("s"), P("n")}, shownName + ": salvaged "},
      {{"-r", "--journal", journal, P("n")}, shownName + ": broken after frame 20/40"},
      {{"--undo", journal}, shownName + ": header at 0 restored."},
      {{"--undo", P("d\x07")}, "journal " + P("d\\x07") + ": is a directory"},
      {{"-r", "--journal", path, P("n")}, shownName + " cannot be the journal"},
      {{"-r", "--journal", P("none\x1b/j"), P("n")}, "journal " + P("none\\x1b/j") + ": No such file"},
  };
  for (const auto& [args, shown] : modes) {
    const ProcessResult result = Cli(args, terminal);
    std::string all = result.out + result.err;
    EXPECT_TRUE(Has(all, shown)) << all;
    for (std::size_t at; (at = all.find("\x1b[K")) != std::string::npos;) all.erase(at, 3);  // progress
    EXPECT_EQ(all.find_first_of("\x1b\x07"), std::string::npos) << all;
  }
}

// An argument that cannot be meant is refused before anything is written: an empty name (an unset shell
// variable), a journal named like a Velk file (a shell glob), one that is a path to check, a folder, or a
// file of other content.
TEST_F(CliTest, AnArgumentThatCannotBeMeantIsRefusedBeforeAnyWrite) {
  const Bytes broken = test::MakeBroken(5, 30, 3, 8).bytes;
  const std::string a = Put("lib/a.vlk", broken), b = Put("lib/b.vlk", broken);
  const Bytes notes = {'m', 'y', ' ', 'n', 'o', 't', 'e', 's'};  // no line end
  Put("notes.txt", notes);
  const std::pair<std::vector<std::string>, std::string> refused[] = {
      {{"-r", "--journal", "", a}, "--journal needs a name"},
      {{"--undo", ""}, "--undo needs a name"},
      {{"--salvage", "", a}, "--salvage needs a name"},
      {{"--db", "", a}, "--db needs a name"},
      {{"-r", "--journal", a, b}, "its name has a Velk file extension"},
      {{"-r", "--journal", P("lib"), P("lib")}, "it is one of the paths to check"},
      {{"-r", "--journal", P("lib"), a}, "it is a folder"},
      {{"-r", "--journal", P("notes.txt"), a}, "not empty and not a repair journal"},
  };
  for (const auto& [args, reason] : refused) {
    const ProcessResult result = Cli(args);
    EXPECT_EQ(result.status, 2) << testing::PrintToString(args);
    EXPECT_TRUE(Has(result.err, reason)) << result.err;
    EXPECT_EQ(result.out, "");
  }
  EXPECT_TRUE(ReadBytes(a) == broken && ReadBytes(b) == broken && ReadBytes(P("notes.txt")) == notes);
}

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
// says how far the run came, the JSON ends with a summary that says it stopped, of the files before it,
// and the text names no repairs or copies when there were none.
TEST_F(CliTest, AStopSaysHowFarTheRunCame) {
  for (int i = 0; i < 600; ++i)  // more output than a pipe holds; nothing to repair or salvage
    Put("lib/" + std::string(100, 'u') + std::to_string(i) + ".vlk", Bytes(64, 'x'));
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
    EXPECT_LT(lines.size(), 600u);
    EXPECT_EQ(result.err, "Stopped after " + std::to_string(lines.size() - 1) + " of 600 files.\n");
    if (args[0] != "--json") continue;
    const nlohmann::json summary = nlohmann::json::parse(lines.back());
    EXPECT_TRUE(summary.value("stopped", false)) << lines.back();
    EXPECT_EQ(summary.value("files", 0u), lines.size() - 1);
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

// The progress line only on a terminal, gone at the end.
TEST_F(CliTest, TheProgressLineIsOnlyOnATerminal) {
  const fs::path root = Library(6, 17);
  const ProcessResult terminal = Cli({"-j", "1", root.string()}, {.stderrTerminal = true});
  EXPECT_EQ(Cli({"-j", "1", root.string()}).err, "");
  EXPECT_TRUE(Has(terminal.err, " files, ") && Has(terminal.err, " MB/s, ")) << terminal.err;
  EXPECT_EQ(terminal.err.substr(terminal.err.size() - 4), "\r\x1b[K");
}

// Idle CPU and I/O priority unless asked for normal.
TEST_F(CliTest, ChecksRunAtIdlePriorityUnlessAskedForNormal) {
  const fs::path root = Library(6, 17);
  for (bool idle : {true, false}) {
    test::Process process(VELKSCAN_CLI, {"--priority", idle ? "idle" : "normal", "-j", "1", root.string()});
    process.ReadFirstLine();
    process.Signal(SIGSTOP);
    EXPECT_EQ(getpriority(PRIO_PROCESS, static_cast<id_t>(process.pid())),
              idle ? 19 : getpriority(PRIO_PROCESS, 0));
    const long ioprio = syscall(SYS_ioprio_get, 1 /* IOPRIO_WHO_PROCESS */, process.pid());
    EXPECT_TRUE(ioprio < 0 || (ioprio >> 13 == 3 /* IOPRIO_CLASS_IDLE */) == idle) << ioprio;
    process.Signal(SIGCONT);
    EXPECT_EQ(process.Wait().status, 1);
  }
}

}  // namespace
}  // namespace velkscan

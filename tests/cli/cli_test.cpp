// velkscan-cli end to end on generated files: exit status, its own glue (options, lists, exclusions, file
// systems, JSON, names on pipes and terminals, arguments refused, progress, priority); what it writes and
// how it stops: writes_test; report text: report_test.
#include "clitest.h"

namespace velkscan {
namespace {

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
      {{"b.vlk", "c.vlk"}, {"Trash/a.vlk", "keep/b.bak.vlk"}},
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

// The report text, asserted once, whole: every kind of line a job writes,
// the separator rule and the summary, for one checker and for two, in every
// build (also the Windows ones under wine). Front-end tests do not repeat it.
#include "scan/report.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <map>
#include <utility>

#include "scan/progress.h"
#include "scan/scanjob.h"
#include "stream/testfiles.h"
#include "support/fakedisplay.h"
#include "support/streams.h"
#ifndef _WIN32
#include "support/process.h"
#endif

namespace velkscan {
namespace {

using test::Bytes;
namespace fs = std::filesystem;

// What befalls a broken file between its check and its repair: beforeRewrite says no, or renames another file
// over it and says yes; or another repair writes the same count after the file's broken line. Or the names
// are handed over during a job, and the report is the next job's.
enum class Meddle { kNone, kRefuseJournal, kReplace, kRepairFirst, kHandOver };

struct Row {
  const char* name;
  std::vector<std::string> files;  // in list order; files[i] names a kind of file below
  const char* report;              // "@name" stands for the scratch path of name
  Meddle meddle = Meddle::kNone;
  bool readOnly = false;           // files and folders as made below (run as nobody when root)
  bool overlong = false;           // a path too long to open is given too
  const char* failRead = nullptr;  // "SUFFIX:OFFSET": reads of that file fail from there on
};

// The file behind each name; a name not here is never created.
Bytes MakeFile(const std::string& name) {
  if (name == "good.vlk") return test::MakeStream(7, 40, 1).bytes;
  if (name == "broken.vlk" || name == "ro.vlk" || name == "failing.vlk")
    return test::MakeBroken(7, 1500, 1200, 2).bytes;
  if (name == "tagged.vqk") return test::MakeBroken(5, 80, 33, 3, gen::TagKind::Id3v2Footer).bytes;
  if (name == "id3.vlk") return test::MakeStream(6, 20, 7, gen::TagKind::Id3v2).bytes;
  if (name == "unknown.vkq")
    return {'V', 'K', 'Q', 0x08, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  if (name == "tagfailing.vlk") {  // its header behind a tag, past the offset where failing.vlk fails
    gen::StreamOptions options;
    options.tag = gen::TagKind::Id3v2, options.tagBodySize = 300000;
    return gen::GenerateStream(options).bytes;
  }
  if (name == "zero5.vlk" || name == "zero7.vlk") {  // declares no frames, and holds frames
    gen::GeneratedStream stream = test::MakeStream(name[4] - '0', 40, 5);
    gen::OverClaim(stream.bytes, 0, stream.streamVersion, 0);
    return stream.bytes;
  }
  if (name == "short.vlk") return {'V', 'K', 'Q', 7, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  return {};
}

const Bytes& FileFor(const std::string& name) {
  static std::map<std::string, Bytes> made;
  if (!made.count(name)) made[name] = MakeFile(name);
  return made[name];
}

#ifndef _WIN32
// A folder with a file and a link to it, that nobody may open ("locked"), or list but not search (its link's
// type cannot be read, its file cannot be opened).
void MakeFolder(const fs::path& dir, const std::string& name) {
  test::WriteBytes(dir / name / "f.vlk", FileFor("good.vlk"));
  fs::create_symlink("f.vlk", dir / name / "link.vlk");
  fs::permissions(dir / name,
                  name == "locked" ? fs::perms::none : fs::perms::owner_read | fs::perms::others_read);
}
#endif

const Row kRows[] = {
    {"every kind of line",
     {"good.vlk", "broken.vlk", "tagged.vqk", "unknown.vkq", "short.vlk"},
     "Scanning 5 files...\r\n----------\r\n@broken.vlk: broken after frame 1200/1500 (00:31)\r\n"
     "@tagged.vqk: invalid Velk, contains ID3v2 tag!\r\n@tagged.vqk: broken after frame 33/80 (00:00)\r\n"
     "@unknown.vkq: unrecognized format (1).\r\n"
     "@short.vlk: unrecognized format (4294967295).\r\n----------\r\nScanned 5 files, errors with 4.\r\n"},
    {.name = "paths not checked come first and are errors: no separator after them",
     .files = {"missing", "id3.vlk"},
     .report =
         "Scanning 1 file...\r\n@long: not checked (path too long).\r\n"
         "@missing: not checked (no such file or folder).\r\n@id3.vlk: invalid Velk, contains ID3v2 tag!\r\n"
         "----------\r\nScanned 1 file, errors with 2.\r\n",
     .overlong = true},
    {"a missing name with a Velk extension is a file that fails to open in its turn",
     {"good.vlk", "gone.vlk", "GONE.VQK", "broken.vlk"},
     "Scanning 4 files...\r\n@gone.vlk: file open failed.\r\n@GONE.VQK: file open failed.\r\n"
     "@broken.vlk: broken after frame 1200/1500 (00:31)\r\n----------\r\nScanned 4 files, errors with "
     "3.\r\n"},
    {"names handed over during a scan are not checked, in the next report",
     {"good.vlk", "gone"},
     "Scanning 0 files...\r\n@good.vlk: not checked (a scan was running).\r\n"
     "@gone: not checked (a scan was running).\r\n----------\r\nScanned 0 files, errors with 2.\r\n",
     Meddle::kHandOver},
    {"ID3v2 lines are no errors",
     {"id3.vlk"},
     "Scanning 1 file...\r\n----------\r\n@id3.vlk: invalid Velk, contains ID3v2 tag!\r\n----------\r\n"
     "Scanned 1 file, no errors found.\r\n"},
    {"nothing listed", {}, "Scanning 0 files...\r\n----------\r\nScanned 0 files, no errors found.\r\n"},
    {"a journal that refuses stops the job, unrepaired",
     {"broken.vlk", "good.vlk"},
     "Scanning 2 files...\r\n----------\r\n@broken.vlk: broken after frame 1200/1500 (00:31)\r\n"
     "@broken.vlk: repair failed (journal not written).\r\n",
     Meddle::kRefuseJournal},
#ifndef _WIN32
    // Windows: no other program may write, rename or delete a file under check.
    {"a file replaced during the check is not repaired",
     {"broken.vlk"},
     "Scanning 1 file...\r\n----------\r\n@broken.vlk: broken after frame 1200/1500 (00:31)\r\n"
     "@broken.vlk: not repaired (file changed during the check).\r\n----------\r\nScanned 1 file, errors "
     "with 1.\r\n",
     Meddle::kReplace},
    {"a header that holds the good frames' count already: another repair wrote it, or it declares none",
     {"broken.vlk", "zero5.vlk", "zero7.vlk"},
     "Scanning 3 files...\r\n----------\r\n@broken.vlk: broken after frame 1200/1500 (00:31)\r\n"
     "@zero5.vlk: broken after frame 0/0 (00:00)\r\n@zero7.vlk: broken after frame 0/0 (00:00)\r\n"
     "----------\r\nScanned 3 files, errors with 3.\r\n",
     Meddle::kRepairFirst},
    {.name = "a file that cannot be written is checked read-only",
     .files = {"ro.vlk"},
     .report = "Scanning 1 file...\r\n----------\r\n@ro.vlk: broken after frame 1200/1500 (00:31)\r\n"
               "@ro.vlk: not repaired (read-only).\r\n----------\r\nScanned 1 file, errors with 1.\r\n",
     .readOnly = true},
    {.name = "folders and entries that cannot be read",
     .files = {"locked", "listonly"},
     .report =
         "Scanning 1 file...\r\n@locked: not checked (folder cannot be read).\r\n"
         "@listonly/link.vlk: not checked (type cannot be read).\r\n@listonly/f.vlk: file open failed.\r\n"
         "----------\r\nScanned 1 file, errors with 3.\r\n",
     .readOnly = true},
    {.name = "a read error is not damage, in the frames or in the header",
     .files = {"failing.vlk", "tagfailing.vlk", "good.vlk"},
     .report =
         "Scanning 3 files...\r\n----------\r\n@failing.vlk: read error after frame 419/1500 (00:10), not "
         "repaired.\r\n@tagfailing.vlk: invalid Velk, contains ID3v2 tag!\r\n@tagfailing.vlk: read "
         "error after frame 0/0 (00:00), not repaired.\r\n----------\r\nScanned 3 files, errors with 2.\r\n",
     .failRead = "failing.vlk:300000"},
#endif
};

Text Expand(const char* report, const test::ScratchDir& dir, const Text& overlong) {
  Text text;
  for (const char* c = report; *c != '\0'; ++c) {
    if (*c != '@') {
      text += static_cast<Char>(*c);
      continue;
    }
    std::string name;
    while (c[1] != ':') name += *++c;
    text += name == "long" ? overlong : test::ToText(dir / name);
  }
  return text;
}

Text RunJob(const Row& row, const std::vector<Text>& paths, uint32_t checkers) {
  test::RecordingDisplay display;
  ScanJob job(display, test::kNormal);
  job.settings.checkers = checkers;
  if (row.meddle == Meddle::kRefuseJournal)
    job.hooks.beforeRewrite = [](TextView, const FileOutcome&) { return false; };
  if (row.meddle == Meddle::kReplace) {  // as `mv` would, from another name in the same folder
    job.hooks.beforeRewrite = [](TextView path, const FileOutcome&) {
      const fs::path other = fs::path(Text(path)).concat(".new");
      test::WriteBytes(other, test::ReadBytes(path));
      fs::rename(other, fs::path(Text(path)));
      return true;
    };
  }
  if (row.meddle == Meddle::kRepairFirst) {  // between check and repair: the bytes the repair would write
    display.onReport = [&display, path = paths.front(), done = false]() mutable {
      if (done || display.report().find(VTEXT("broken after")) == Text::npos) return;
      done = true;
      test::Bytes bytes = test::ReadBytes(path);
      test::PutWordAt(bytes, 4, 1200);
      test::WriteBytes(path, bytes);
    };
  }
  if (row.meddle == Meddle::kHandOver) {  // as StartScan shows its first line, the job running
    display.onReport = [&job, rest = paths]() mutable {
      if (!rest.empty()) job.AddPaths(std::exchange(rest, {}));
    };
    job.StartScan();
    job.WaitForWorker();
  }
  job.AddPaths(row.meddle == Meddle::kHandOver ? std::vector<Text>() : paths);
  if (!job.StartScan()) return VTEXT("no start");
  job.WaitForWorker();
  return display.report();
}

#ifndef _WIN32
// A row with a fault runs in a child: this test program again, as nobody when root (root may write anything)
// and with failio preloaded; its report comes back on standard output.
Text RunJobInChild(size_t row, const std::vector<Text>& paths, uint32_t checkers) {
  test::ProcessOptions options;
  if (kRows[row].readOnly && geteuid() == 0)
    options.prefix = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  std::string list;
  for (const Text& path : paths) list += path + '\n';
  options.env = {{"VELKSCAN_GOLDEN_ROW", std::to_string(row)},
                 {"VELKSCAN_GOLDEN_CHECKERS", std::to_string(checkers)},
                 {"VELKSCAN_GOLDEN_PATHS", list},
                 {"LD_PRELOAD", VELKSCAN_FAILIO},
                 {"VELKSCAN_FAIL_READ", kRows[row].failRead ? kRows[row].failRead : ""},
                 {"ASAN_OPTIONS", "verify_asan_link_order=0"}};
  const test::ProcessResult child = test::Run(fs::read_symlink("/proc/self/exe").string(),
                                              {"--gtest_filter=ReportGolden.EveryKindOfLine*"}, options);
  EXPECT_EQ(child.status, 0) << child.err;
  return child.out.substr(child.out.find("\nreport:") + 8);
}

// The child's side: the row's job, its report on standard output.
void RunRowIfChild() {
  const char* row = std::getenv("VELKSCAN_GOLDEN_ROW");
  if (row == nullptr) return;
  std::vector<Text> paths;
  std::string list = std::getenv("VELKSCAN_GOLDEN_PATHS");
  for (size_t end; (end = list.find('\n')) != std::string::npos; list.erase(0, end + 1))
    paths.push_back(list.substr(0, end));
  std::cout << "\nreport:"
            << RunJob(kRows[std::atoi(row)], paths, std::atoi(std::getenv("VELKSCAN_GOLDEN_CHECKERS")))
            << std::flush;
  std::_Exit(0);
}
#endif

TEST(ReportGolden, EveryKindOfLineWithOneCheckerOrTwo) {
#ifndef _WIN32
  RunRowIfChild();
#endif
  for (const Row& row : kRows) {
    for (uint32_t checkers : {1u, 2u}) {
      // A checker thread repairs before the worker shows the file's lines.
      if (row.meddle == Meddle::kRepairFirst && checkers == 2) continue;
      SCOPED_TRACE(std::string(row.name) + ", checkers " + std::to_string(checkers));
      test::ScratchDir dir;
      std::vector<Text> paths;
      for (const std::string& name : row.files) {
        if (!FileFor(name).empty()) test::WriteBytes(dir / name, FileFor(name));
        paths.push_back(test::ToText(dir / name));
      }
      const Text overlong = test::ToText(dir / (std::string(70000, 'a') + ".vlk"));
      if (row.overlong) paths.insert(paths.begin(), overlong);
#ifndef _WIN32
      if (row.readOnly || row.failRead) {
        fs::permissions(dir.path(), fs::perms::all);
        for (const std::string& name : row.files) {
          if (!FileFor(name).empty())
            fs::permissions(dir / name, fs::perms::owner_read | fs::perms::others_read);
          if (FileFor(name).empty()) MakeFolder(dir.path(), name);
        }
        EXPECT_EQ(RunJobInChild(static_cast<size_t>(&row - kRows), paths, checkers),
                  Expand(row.report, dir, overlong));
        for (const std::string& name : row.files)  // for the scratch folder's removal
          if (fs::is_directory(dir / name)) fs::permissions(dir / name, fs::perms::owner_all);
        continue;
      }
#endif
      EXPECT_EQ(RunJob(row, paths, checkers), Expand(row.report, dir, overlong));
    }
  }
}

TEST(ReportGolden, PlayTimeKeepsItsThirtyTwoBitSampleCount) {
  EXPECT_EQ(PlayTimeText(149999, 48000), VTEXT("59:59"));
  EXPECT_EQ(PlayTimeText(150000, 48000), VTEXT("01:00:00"));
  EXPECT_EQ(PlayTimeText(100, 0), VTEXT("00:00"));  // no finite quotient
  // 4,000,000 x 1152 samples wraps to 313,032,704: 7098 s at 44100 Hz.
  EXPECT_EQ(PlayTimeText(4000000, 44100), VTEXT("01:58:18"));
}

// What the report's texts may ask of the formatter: any zero-padded width, and %% for a percent sign; an
// argument of the wrong kind inserts nothing; a view cut from a longer text may end inside a conversion.
TEST(ReportFormat, FormatsWhatTheTextsAsk) {
  EXPECT_EQ(FormatText(VTEXT("%010u|%09u|%u%%|%s"), {7u, 123u, 4u, VTEXT("x")}),
            VTEXT("0000000007|000000123|4%|x"));
  EXPECT_EQ(FormatText(VTEXT("%u|%s|"), {VTEXT("y"), 5u}), VTEXT("||"));
  EXPECT_EQ(FormatText(TextView(VTEXT("a%01u"), 3), {9u}), VTEXT("a"));
}

// The progress line of the terminal and the window: the mean speed since the start, the time
// left of what was listed less what is not read, hours only past the first.
TEST(ProgressLine, SpeedAndTimeLeft) {
  constexpr uint64_t kMb = 1024 * 1024;
  const struct {
    JobFigures figures;
    double seconds;
    const char* line;
  } rows[] = {
      {{0, 3, 0, 30 * kMb, 0, {}}, 0.5, "0/3 files, 0.0/30.0 MB, 0.0 MB/s, --:-- left"},
      {{1, 3, 10 * kMb, 30 * kMb, 0, {}}, 0, "1/3 files, 10.0/30.0 MB, 0.0 MB/s, --:-- left"},
      {{1, 3, 10 * kMb, 30 * kMb, 0, {}}, 4, "1/3 files, 10.0/30.0 MB, 2.5 MB/s, 00:08 left"},
      {{1, 9, kMb, 3601 * kMb + kMb, 0, {}}, 1, "1/9 files, 1.0/3602.0 MB, 1.0 MB/s, 1:00:01 left"},
      {{2, 2, 31 * kMb, 30 * kMb, 0, {}}, 2, "2/2 files, 31.0/30.0 MB, 15.5 MB/s, --:-- left"},  // files grew
      {{3, 4, 2 * kMb, 30 * kMb, 24 * kMb, {}},
       1,
       "3/4 files, 2.0/6.0 MB, 2.0 MB/s, 00:02 left"},  // 24 unread
      {{4, 4, 6 * kMb, 30 * kMb, 24 * kMb, {}}, 3, "4/4 files, 6.0/6.0 MB, 2.0 MB/s, 00:00 left"},
  };
  for (const auto& row : rows) EXPECT_EQ(ProgressLineText(row.figures, row.seconds), row.line);
}

}  // namespace
}  // namespace velkscan

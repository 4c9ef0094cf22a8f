// The scan job over real files: report texts and the separator rule,
// counters, repairs (and the files never written), progress, the window's
// states, Stop at many points, and parallel checking giving the same job.
#include "scan/scanjob.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <random>
#include <thread>

#include "scantest.h"
#include "stream/filestream.h"
#include "stream/streaminfo.h"

namespace velkscan {
namespace {

using test::Bytes;
using test::RecordingDisplay;
using test::ScratchDir;
using test::ToText;
namespace fs = std::filesystem;

constexpr const char* kSummaryStart = "----------\r\nScanned ";

uint32_t ReadBackFrameCount(const fs::path& path) {
  FileStream stream(OpenFileForScan(ToText(path), false));
  StreamInfo info{};
  EXPECT_EQ(ReadStreamHeader(info, stream), 0) << path;
  return info.frameCount;
}

class ScanJobTest : public ::testing::Test {
 protected:
  fs::path Put(const std::string& name, const Bytes& bytes) {
    const fs::path path = dir_ / name;
    test::WriteBytes(path, bytes);
    return path;
  }
  Text P(const std::string& name) const { return ToText(dir_ / name); }

  // Runs a job over the paths to its end.
  Text Run(ScanJob& job, const std::vector<Text>& paths) {
    job.fileList.AddPaths(paths);
    EXPECT_TRUE(job.StartScan());
    job.ReleaseWorker();
    EXPECT_EQ(job.idle.load(), 1);
    EXPECT_TRUE(job.ended);
    return display_.report();
  }

  ScratchDir dir_;
  RecordingDisplay display_;
};

TEST_F(ScanJobTest, MixedFilesGiveTheirLinesCountsAndRepairs) {
  const Bytes good = test::MakeStream(7, 40, 1).bytes;
  gen::GeneratedStream broken = test::MakeStream(7, 1500, 2);
  test::BreakFrame(broken, 1200);
  gen::GeneratedStream broken6 = test::MakeStream(6, 30, 3);
  test::BreakFrame(broken6, 12);
  const Bytes unknown = {'V', 'K', 'Q', 0x08, 1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12,
                         13,  14,  15,  16,   17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28};
  Put("good.vlk", good);
  Put("broken.vlk", broken.bytes);
  Put("broken6.vqk", broken6.bytes);
  Put("unknown.vkq", unknown);

  ScanJob job(display_);
  const Text report =
      Run(job, {P("good.vlk"), P("missing.vlk"), P("broken.vlk"), P("broken6.vqk"), P("unknown.vkq")});
  EXPECT_EQ(report, "Scanning 5 files...\r\n" + P("missing.vlk") + ": file open failed.\r\n" +
                        P("broken.vlk") + ": broken after frame 1200/1500 (00:31)\r\n" + P("broken6.vqk") +
                        ": broken after frame 12/30 (00:00)\r\n" + P("unknown.vkq") +
                        ": unrecognized format (1).\r\n"
                        "----------\r\nScanned 5 files, errors with 4.\r\n");
  EXPECT_EQ(job.endedFileCount, 5u);
  EXPECT_EQ(job.endedErrorCount, 4u);
  // The job is idle again with everything reset.
  EXPECT_EQ(job.fileList.count(), 0u);
  EXPECT_EQ(job.fileList.totalBytes, 0u);
  EXPECT_EQ(job.errorCount, 0u);
  EXPECT_EQ(job.id3Count, 0u);
  EXPECT_EQ(job.bytesDone, 0u);
  EXPECT_EQ(job.currentIndex, 0u);
  EXPECT_FALSE(job.current.open());

  // Only the broken files' frame counts changed.
  EXPECT_EQ(test::ReadBytes(dir_ / "good.vlk"), good);
  EXPECT_EQ(test::ReadBytes(dir_ / "unknown.vkq"), unknown);
  Bytes expected = broken.bytes;
  test::PutWordAt(expected, 4, 1200);
  EXPECT_EQ(test::ReadBytes(dir_ / "broken.vlk"), expected);
  expected = broken6.bytes;
  test::PutWordAt(expected, 4, 12);
  EXPECT_EQ(test::ReadBytes(dir_ / "broken6.vqk"), expected);
  EXPECT_EQ(ReadBackFrameCount(dir_ / "broken6.vqk"), 12u);
}

TEST_F(ScanJobTest, OutcomesCarryWhatTheTerminalShows) {
  gen::GeneratedStream tagged = test::MakeStream(5, 80, 4, gen::TagKind::Id3v2Footer);
  test::BreakFrame(tagged, 33);
  Put("tagged.vlk", tagged.bytes);
  Put("good.vlk", test::MakeStream(4, 20, 5).bytes);
  ScanJob job(display_);
  Run(job, {P("tagged.vlk"), P("good.vlk"), P("gone.vlk")});
  const auto files = display_.files();
  ASSERT_EQ(files.size(), 3u);

  const FileOutcome& t = files[0].outcome;
  EXPECT_EQ(files[0].path, P("tagged.vlk"));
  EXPECT_EQ(t.status, FileStatus::kBroken);
  EXPECT_TRUE(t.id3());
  EXPECT_EQ(t.headerPos, tagged.headerPos);
  EXPECT_EQ(t.goodFrames, 33u);
  EXPECT_EQ(t.declaredFrames, 80u);
  ASSERT_TRUE(t.failOffsetKnown);
  EXPECT_EQ(t.failOffset, tagged.ByteOfBit(tagged.frames[33].lengthFieldBit));
  EXPECT_TRUE(t.rewriteRun);
  EXPECT_EQ(t.rewriteResult, 0);
  ASSERT_TRUE(t.headerBytesKnown);
  const Bytes header(tagged.bytes.begin() + tagged.headerPos, tagged.bytes.begin() + tagged.headerPos + 32);
  EXPECT_TRUE(std::equal(header.begin(), header.end(), t.headerBefore));
  Bytes after = header;
  test::PutWordAt(after, 4, 33);  // version 5 stores the count as given
  EXPECT_TRUE(std::equal(after.begin(), after.end(), t.headerAfter));
  EXPECT_EQ(ReadBackFrameCount(dir_ / "tagged.vlk"), 32u);  // and reads back one less

  EXPECT_EQ(files[1].outcome.status, FileStatus::kOk);
  EXPECT_EQ(files[1].outcome.goodFrames, 20u);
  EXPECT_FALSE(files[1].outcome.rewriteRun);
  EXPECT_EQ(files[2].outcome.status, FileStatus::kOpenFailed);
}

TEST_F(ScanJobTest, SeparatorOnlyBeforeTheFirstProblemLineWhenNothingCameBefore) {
  gen::GeneratedStream tagged = test::MakeStream(7, 60, 6, gen::TagKind::Id3v2);
  test::BreakFrame(tagged, 10);
  Put("a.vlk", tagged.bytes);
  Put("b.vlk", test::MakeStream(6, 20, 7, gen::TagKind::Id3v2).bytes);
  {
    // An ID3v2 line and a broken line for one file: one separator, before both.
    ScanJob job(display_);
    EXPECT_EQ(Run(job, {P("a.vlk"), P("b.vlk")}),
              "Scanning 2 files...\r\n----------\r\n" + P("a.vlk") +
                  ": invalid Velk, contains ID3v2 tag!\r\n" + P("a.vlk") +
                  ": broken after frame 10/60 (00:00)\r\n" + P("b.vlk") +
                  ": invalid Velk, contains ID3v2 tag!\r\n----------\r\nScanned 2 files, errors with 1.\r\n");
  }
  Put("a.vlk", tagged.bytes);
  {
    // A file that cannot be opened first: no separator at all.
    ScanJob job(display_);
    EXPECT_EQ(Run(job, {P("missing.vlk"), P("a.vlk")}),
              "Scanning 2 files...\r\n" + P("missing.vlk") + ": file open failed.\r\n" + P("a.vlk") +
                  ": invalid Velk, contains ID3v2 tag!\r\n" + P("a.vlk") +
                  ": broken after frame 10/60 (00:00)\r\n----------\r\nScanned 2 files, errors with 2.\r\n");
  }
  {
    // Only ID3v2 lines: no errors found.
    ScanJob job(display_);
    EXPECT_EQ(Run(job, {P("b.vlk")}), "Scanning 1 file...\r\n----------\r\n" + P("b.vlk") +
                                          ": invalid Velk, contains ID3v2 tag!\r\n"
                                          "----------\r\nScanned 1 file, no errors found.\r\n");
  }
}

TEST_F(ScanJobTest, HeadersNeverUnderstoodAreNeverWritten) {
  // Accepted without reading: broken after frame 0/0, counted, not written.
  std::vector<Bytes> accepted;
  for (uint8_t version : {0x06, 0x16, 0x05, 0x77, 0x81}) {
    Bytes bytes = {'V', 'K', 'Q', version};
    for (int i = 0; i < 200; ++i) bytes.push_back(static_cast<uint8_t>(i * 7 + version));
    accepted.push_back(bytes);
  }
  // A full "VKQ" header whose version no frame parser handles.
  Bytes v27 = test::MakeStream(7, 30, 8).bytes;
  v27[3] = 0x27;
  const Bytes shortV7 = {'V', 'K', 'Q', 7, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  // Zero frames declared by a header that was read: broken 0/0, repaired
  // with 0, which rewrites the bytes it holds.
  Bytes zero7 = test::MakeStream(7, 5, 9).bytes;
  test::PutWordAt(zero7, 4, 0);
  Bytes zero5 = test::MakeStream(5, 5, 10).bytes;
  test::PutWordAt(zero5, 4, 1);  // version 5 stores count + 1

  std::vector<Text> paths;
  std::vector<std::pair<fs::path, Bytes>> all;
  for (size_t i = 0; i < accepted.size(); ++i) {
    all.emplace_back(Put("accepted" + std::to_string(i) + ".vlk", accepted[i]), accepted[i]);
  }
  all.emplace_back(Put("v27.vlk", v27), v27);
  all.emplace_back(Put("short.vlk", shortV7), shortV7);
  all.emplace_back(Put("zero7.vlk", zero7), zero7);
  all.emplace_back(Put("zero5.vlk", zero5), zero5);
  for (const auto& [path, bytes] : all) paths.push_back(ToText(path));

  ScanJob job(display_);
  Text expected = "Scanning 9 files...\r\n";
  for (size_t i = 0; i < accepted.size(); ++i) {
    expected += P("accepted" + std::to_string(i) + ".vlk") + ": broken after frame 0/0 (00:00)\r\n";
  }
  expected += P("v27.vlk") + ": unrecognized format (1).\r\n";
  expected += P("short.vlk") + ": unrecognized format (4294967295).\r\n";
  expected += P("zero7.vlk") + ": broken after frame 0/0 (00:00)\r\n";
  expected += P("zero5.vlk") + ": broken after frame 0/0 (00:00)\r\n";
  expected += "----------\r\nScanned 9 files, errors with 9.\r\n";
  // The first problem is a broken line: it gets the separator.
  expected.insert(expected.find("\r\n") + 2, "----------\r\n");
  EXPECT_EQ(Run(job, paths), expected);
  for (const auto& [path, bytes] : all) EXPECT_EQ(test::ReadBytes(path), bytes) << path;
  const auto files = display_.files();
  ASSERT_EQ(files.size(), 9u);
  for (size_t i = 0; i < accepted.size(); ++i) EXPECT_FALSE(files[i].outcome.rewriteRun) << i;
  EXPECT_TRUE(files[7].outcome.rewriteRun);
  EXPECT_TRUE(files[8].outcome.rewriteRun);
  EXPECT_EQ(ReadBackFrameCount(dir_ / "zero5.vlk"), 0u);
}

TEST_F(ScanJobTest, CheckOnlyWritesNothingAndReportsTheSame) {
  gen::GeneratedStream broken = test::MakeStream(7, 200, 11);
  test::BreakFrame(broken, 150);
  Put("b.vlk", broken.bytes);
  ScanJob job(display_);
  job.repair = false;
  const Text report = Run(job, {P("b.vlk")});
  EXPECT_EQ(report,
            "Scanning 1 file...\r\n----------\r\n" + P("b.vlk") +
                ": broken after frame 150/200 (00:03)\r\n----------\r\nScanned 1 file, errors with 1.\r\n");
  EXPECT_EQ(test::ReadBytes(dir_ / "b.vlk"), broken.bytes);
  EXPECT_FALSE(display_.files().at(0).outcome.rewriteRun);
}

TEST_F(ScanJobTest, ReadOnlyFileFailsToOpenOnlyWhenRepairing) {
  if (geteuid() == 0) GTEST_SKIP() << "root opens read-only files for writing";
  Put("ro.vlk", test::MakeStream(7, 20, 12).bytes);
  fs::permissions(dir_ / "ro.vlk", fs::perms::owner_read);
  ScanJob repairing(display_);
  EXPECT_EQ(Run(repairing, {P("ro.vlk")}),
            "Scanning 1 file...\r\n" + P("ro.vlk") +
                ": file open failed.\r\n----------\r\nScanned 1 file, errors with 1.\r\n");
  ScanJob checking(display_);
  checking.repair = false;
  EXPECT_EQ(Run(checking, {P("ro.vlk")}),
            "Scanning 1 file...\r\n----------\r\nScanned 1 file, no errors found.\r\n");
}

TEST_F(ScanJobTest, RepairKeepsFileTimesWhenAsked) {
  gen::GeneratedStream broken = test::MakeStream(6, 50, 13);
  test::BreakFrame(broken, 20);
  for (bool keep : {true, false}) {
    const fs::path path = Put("t.vlk", broken.bytes);
    const timespec old[2] = {{1000000000, 123456789}, {1100000000, 987654321}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
    ScanJob job(display_);
    job.keepTimes = keep;
    Run(job, {ToText(path)});
    struct stat after;
    ASSERT_EQ(stat(path.c_str(), &after), 0);  // before reading it ourselves
    EXPECT_NE(test::ReadBytes(path), broken.bytes);
    EXPECT_EQ(after.st_mtim.tv_sec == old[1].tv_sec && after.st_mtim.tv_nsec == old[1].tv_nsec, keep);
    if (keep) {
      EXPECT_EQ(after.st_atim.tv_sec, old[0].tv_sec);
      EXPECT_EQ(after.st_atim.tv_nsec, old[0].tv_nsec);
    }
  }
}

TEST_F(ScanJobTest, EmptyListEndsAtOnce) {
  ScanJob job(display_);
  EXPECT_EQ(Run(job, {}), "Scanning 0 files...\r\n----------\r\nScanned 0 files, no errors found.\r\n");
  ScanJob parallel(display_);
  parallel.checkers = 2;
  EXPECT_EQ(Run(parallel, {}), "Scanning 0 files...\r\n----------\r\nScanned 0 files, no errors found.\r\n");
}

TEST_F(ScanJobTest, ProgressMovesOnlyOnChangeUpToAHundredAndBackToZero) {
  for (uint64_t seed = 20; seed < 23; ++seed) {
    Put("p" + std::to_string(seed) + ".vlk", test::MakeStream(7, 400, seed).bytes);
  }
  ScanJob job(display_);
  Run(job, {dir_.path()});
  const std::vector<uint32_t> progress = display_.progress();
  ASSERT_GE(progress.size(), 50u);
  EXPECT_EQ(progress.back(), 0u);  // the end of the job
  for (size_t i = 0; i + 1 < progress.size(); ++i) {
    EXPECT_LE(progress[i], 100u);
    if (i > 0) {
      EXPECT_LT(progress[i - 1], progress[i]) << i;  // moved only when the percent changed
    }
  }
  EXPECT_GE(progress[progress.size() - 2], 95u);
}

TEST_F(ScanJobTest, ProgressClampsForFilesThatGrewAndStaysForZeroTotal) {
  Put("small.vlk", test::MakeStream(7, 2, 30).bytes);
  {
    ScanJob job(display_);
    job.fileList.AddFile(P("small.vlk"));
    Put("small.vlk", test::MakeStream(7, 300, 30).bytes);  // grew after it was listed
    ASSERT_TRUE(job.StartScan());
    job.ReleaseWorker();
    const std::vector<uint32_t> progress = display_.progress();
    ASSERT_GE(progress.size(), 2u);
    EXPECT_EQ(progress[progress.size() - 2], 100u);
    EXPECT_EQ(*std::max_element(progress.begin(), progress.end()), 100u);
  }
  RecordingDisplay fresh;
  ScanJob job(fresh);
  job.fileList.AddFile(P("later.vlk"));  // measured 0 bytes: not there yet
  Put("later.vlk", test::MakeStream(7, 300, 31).bytes);
  ASSERT_TRUE(job.StartScan());
  job.ReleaseWorker();
  EXPECT_EQ(fresh.progress(), std::vector<uint32_t>{0});
}

TEST_F(ScanJobTest, WindowStatesThroughAJob) {
  Put("lib/a.vlk", test::MakeStream(7, 30, 40).bytes);
  Put("lib/b.vkq", test::MakeStream(4, 30, 41).bytes);
  Put("lib/skip.txt", Bytes(10, 1));
  ScanJob job(display_);
  job.ShowInitialState();
  EXPECT_EQ(display_.events(), (std::vector<std::string>{"drops:on", "button:Scan",
                                                         std::string("message:") + kPromptText, "disable"}));
  EXPECT_EQ(display_.progress(), std::vector<uint32_t>{0});

  display_.ClearEvents();
  EXPECT_FALSE(job.AddDroppedPaths({P("lib/skip.txt")}));  // nothing added: nothing shown
  EXPECT_TRUE(display_.events().empty());
  EXPECT_TRUE(job.AddDroppedPaths({P("lib")}));
  EXPECT_EQ(display_.events(),
            (std::vector<std::string>{"message:2 files waiting for scanning...", "enable", "focus"}));
  display_.ClearEvents();
  EXPECT_FALSE(job.AddCommandLineWhileIdle(P("lib/a.vlk")));  // listed already
  Put("lib/c.vlk", test::MakeStream(7, 30, 42).bytes);
  EXPECT_TRUE(job.AddCommandLineWhileIdle(P("lib/c.vlk")));
  EXPECT_EQ(display_.events(), (std::vector<std::string>{"message:3 files waiting for scanning..."}));

  display_.ClearEvents();
  // A drop during the scan is ignored.
  bool droppedDuringScan = true;
  display_.onReport = [&] { droppedDuringScan = job.AddDroppedPaths({P("lib")}); };
  ASSERT_TRUE(job.StartScan());
  job.ReleaseWorker();
  EXPECT_FALSE(droppedDuringScan);
  const std::vector<std::string> events = display_.events();
  ASSERT_GE(events.size(), 7u);
  EXPECT_EQ(events[0], "drops:off");
  EXPECT_EQ(events[1], "button:Stop");
  EXPECT_EQ(events[2], "report");
  EXPECT_EQ(std::vector<std::string>(events.end() - 4, events.end()),
            (std::vector<std::string>{"button:Scan", "report", "disable", "drops:on"}));
  EXPECT_EQ(display_.box(), "Scanning 3 files...\r\n----------\r\nScanned 3 files, no errors found.\r\n");
  EXPECT_EQ(display_.progress().back(), 0u);

  // Files dropped after the job replace the finished report with the count.
  display_.onReport = nullptr;
  display_.ClearEvents();
  EXPECT_TRUE(job.AddDroppedPaths({P("lib/a.vlk")}));
  EXPECT_EQ(display_.events(),
            (std::vector<std::string>{"message:1 file waiting for scanning...", "enable", "focus"}));
}

// Copies the files back to their original bytes.
void Restore(const std::vector<std::pair<fs::path, Bytes>>& files) {
  for (const auto& [path, bytes] : files) test::WriteBytes(path, bytes);
}

// A small library: good and broken files of every version, tags, failures.
std::vector<std::pair<fs::path, Bytes>> MakeLibrary(const ScratchDir& dir) {
  std::vector<std::pair<fs::path, Bytes>> files;
  auto add = [&](const std::string& name, gen::GeneratedStream stream, int breakAt) {
    if (breakAt >= 0) test::BreakFrame(stream, static_cast<uint32_t>(breakAt));
    files.emplace_back(dir / "lib" / name, stream.bytes);
  };
  add("01-good7.vlk", test::MakeStream(7, 300, 50), -1);
  add("02-broken5.vlk", test::MakeStream(5, 300, 51), 100);
  add("03-tagged6.vlk", test::MakeStream(6, 200, 52, gen::TagKind::Id3v2), -1);
  add("04-tagged-broken23.vlk", test::MakeStream(23, 250, 53, gen::TagKind::Id3v2Footer), 50);
  add("05-good4.vkq", test::MakeStream(4, 150, 54), -1);
  files.emplace_back(dir / "lib" / "06-unknown.vlk", Bytes{'V', 'K', 'Q', 0x18, 0, 0, 0, 0});
  add("07-broken6.vqk", test::MakeStream(6, 250, 55), 200);
  add("08-broken7.vlk", test::MakeStream(7, 100, 56), 1);
  add("09-good23.vlk", test::MakeStream(23, 120, 57), -1);
  Restore(files);
  return files;
}

struct JobResult {
  Text report;
  std::vector<RecordingDisplay::FileRecord> files;
  std::vector<Bytes> bytes;
  uint32_t errors = 0;
};

JobResult RunLibrary(const std::vector<std::pair<fs::path, Bytes>>& files, uint32_t checkers, bool repair) {
  Restore(files);
  RecordingDisplay display;
  ScanJob job(display);
  job.checkers = checkers;
  job.repair = repair;
  for (const auto& [path, bytes] : files) job.fileList.AddFile(ToText(path));
  job.fileList.AddFile(ToText(files[0].first.parent_path() / "10-missing.vlk"));
  EXPECT_TRUE(job.StartScan());
  job.ReleaseWorker();
  JobResult result{display.report(), display.files(), {}, job.endedErrorCount};
  for (const auto& [path, bytes] : files) result.bytes.push_back(test::ReadBytes(path));
  return result;
}

TEST_F(ScanJobTest, ParallelCheckersGiveTheSameJob) {
  const auto files = MakeLibrary(dir_);
  for (bool repair : {true, false}) {
    const JobResult one = RunLibrary(files, 1, repair);
    EXPECT_EQ(one.errors, 6u);
    EXPECT_NE(one.report.find("Scanned 10 files, errors with 6."), Text::npos);
    for (uint32_t checkers : {2u, 3u, 16u}) {
      const JobResult many = RunLibrary(files, checkers, repair);
      EXPECT_EQ(many.report, one.report) << checkers;
      EXPECT_EQ(many.bytes, one.bytes) << checkers;
      EXPECT_EQ(many.errors, one.errors);
      ASSERT_EQ(many.files.size(), one.files.size());
      for (size_t i = 0; i < one.files.size(); ++i) {
        EXPECT_EQ(many.files[i].path, one.files[i].path);
        EXPECT_EQ(many.files[i].outcome.status, one.files[i].outcome.status);
        EXPECT_EQ(many.files[i].outcome.goodFrames, one.files[i].outcome.goodFrames);
        EXPECT_EQ(many.files[i].outcome.failOffset, one.files[i].outcome.failOffset);
      }
    }
    if (!repair) {
      for (size_t i = 0; i < files.size(); ++i) EXPECT_EQ(one.bytes[i], files[i].second) << files[i].first;
    }
  }
}

// After a Stop: no summary, and every file that was not reported finished is
// exactly as it was; the lines written are those of the full job's report.
void ExpectCleanStop(const std::vector<std::pair<fs::path, Bytes>>& files, const JobResult& full,
                     const RecordingDisplay& display, ScanJob& job, const std::string& where) {
  const Text report = display.report();
  EXPECT_EQ(report.find(kSummaryStart), Text::npos) << where;
  EXPECT_EQ(job.fileList.count(), 0u) << where;
  EXPECT_FALSE(job.ended) << where;
  const auto reported = display.files();
  std::map<Text, FileStatus> finished;
  for (const auto& record : reported) finished[record.path] = record.outcome.status;
  for (size_t i = 0; i < files.size(); ++i) {
    const Bytes now = test::ReadBytes(files[i].first);
    if (finished.count(ToText(files[i].first)) != 0) {
      EXPECT_EQ(now, full.bytes[i]) << where << " " << files[i].first;
    } else {
      EXPECT_EQ(now, files[i].second) << where << " unfinished file changed: " << files[i].first;
    }
  }
  // Every line of the stopped report is a line of the full report, in order.
  size_t from = 0;
  size_t at = 0;
  while (at < report.size()) {
    const size_t end = report.find("\r\n", at) + 2;
    const Text line = report.substr(at, end - at);
    const size_t found = full.report.find(line, from);
    ASSERT_NE(found, Text::npos) << where << " line not in the full report: " << line;
    from = found + line.size();
    at = end;
  }
}

TEST_F(ScanJobTest, StopBetweenFramesAtManyPointsLeavesUnfinishedFilesUntouched) {
  const auto files = MakeLibrary(dir_);
  const JobResult full = RunLibrary(files, 1, true);
  for (uint32_t checkers : {1u, 2u}) {
    // Stops at the n-th move of the bar, and right after the n-th shown line
    // (between the broken line and the repair, the repair still belongs to
    // the frame that failed).
    for (int kind = 0; kind < 2; ++kind) {
      for (int stopAt = 1; stopAt < (kind == 0 ? 110 : 12); stopAt += (kind == 0 ? 4 : 1)) {
        Restore(files);
        RecordingDisplay display;
        ScanJob job(display);
        job.checkers = checkers;
        int calls = 0;
        auto stop = [&] {
          if (++calls == stopAt) job.idle.store(1);
        };
        (kind == 0 ? display.onProgress : display.onReport) = stop;
        for (const auto& [path, bytes] : files) job.fileList.AddFile(ToText(path));
        job.fileList.AddFile(ToText(files[0].first.parent_path() / "10-missing.vlk"));
        ASSERT_TRUE(job.StartScan());
        job.ReleaseWorker();
        if (job.ended) continue;  // the stop came after the last file
        job.StopScan();
        ExpectCleanStop(files, full, display, job,
                        "checkers " + std::to_string(checkers) + (kind == 0 ? " progress " : " line ") +
                            std::to_string(stopAt));
        EXPECT_EQ(display.box(), kPromptText);
        EXPECT_EQ(display.button(), kScanButtonText);
      }
    }
  }
}

TEST_F(ScanJobTest, StopFromTheFrontEndThreadAtRandomMoments) {
  const auto files = MakeLibrary(dir_);
  const JobResult full = RunLibrary(files, 1, true);
  std::mt19937 random(7);
  for (int round = 0; round < 24; ++round) {
    Restore(files);
    RecordingDisplay display;
    ScanJob job(display);
    job.checkers = 1 + round % 2;
    for (const auto& [path, bytes] : files) job.fileList.AddFile(ToText(path));
    job.fileList.AddFile(ToText(files[0].first.parent_path() / "10-missing.vlk"));
    ASSERT_TRUE(job.StartScan());
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
    job.StopScan();
    if (display.report().find(kSummaryStart) != Text::npos) continue;  // finished first
    ExpectCleanStop(files, full, display, job, "round " + std::to_string(round));
    EXPECT_EQ(display.button(), kScanButtonText);
    EXPECT_FALSE(display.enabled());
    EXPECT_TRUE(display.drops());
    EXPECT_EQ(display.progress().back(), 0u);
    EXPECT_EQ(job.errorCount + job.id3Count + job.currentIndex, 0u);
    EXPECT_EQ(job.bytesDone + job.fileList.totalBytes, 0u);
  }
}

}  // namespace
}  // namespace velkscan

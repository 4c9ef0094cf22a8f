// The scan job over real files: report texts and the separator rule,
// counters, repairs (and the files never written), progress, the window's
// states, and Stop at many points, with one checker and with two.
#include "scan/scanjob.h"

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
using test::ToText;
namespace fs = std::filesystem;

uint32_t ReadBackFrameCount(const fs::path& path) {
  FileStream stream(OpenFileForScan(ToText(path), false));
  StreamInfo info{};
  EXPECT_EQ(ReadStreamHeader(info, stream), 0) << path;
  return info.frameCount;
}

Bytes WithWord(Bytes bytes, size_t offset, uint32_t value) {
  test::PutWordAt(bytes, offset, value);
  return bytes;
}

class ScanJobTest : public ::testing::Test {
 protected:
  fs::path Put(const std::string& name, const Bytes& bytes) {
    test::WriteBytes(dir_ / name, bytes);
    return dir_ / name;
  }
  Text P(const std::string& name) const { return ToText(dir_ / name); }

  // Runs a job over the paths to its end.
  Text Run(ScanJob& job, const std::vector<Text>& paths) {
    job.AddPaths(paths);
    EXPECT_TRUE(job.StartScan());
    job.WaitForWorker();
    EXPECT_FALSE(job.running());
    EXPECT_TRUE(job.ended());
    return display_.report();
  }

  test::ScratchDir dir_;
  RecordingDisplay display_;
};

TEST_F(ScanJobTest, MixedFilesGiveTheirLinesOutcomesAndRepairs) {
  const Bytes good = test::MakeStream(7, 40, 1).bytes;
  const gen::GeneratedStream broken = test::MakeBroken(7, 1500, 1200, 2);
  const gen::GeneratedStream tagged = test::MakeBroken(5, 80, 33, 3, gen::TagKind::Id3v2Footer);
  const Bytes unknown = {'V', 'K', 'Q', 0x08, 1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12,
                         13,  14,  15,  16,   17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28};
  Put("good.vlk", good);
  Put("broken.vlk", broken.bytes);
  Put("tagged.vqk", tagged.bytes);
  Put("unknown.vkq", unknown);

  ScanJob job(display_);
  EXPECT_EQ(Run(job, {P("good.vlk"), P("missing.vlk"), P("broken.vlk"), P("tagged.vqk"), P("unknown.vkq")}),
            "Scanning 5 files...\r\n" + P("missing.vlk") + ": file open failed.\r\n" + P("broken.vlk") +
                ": broken after frame 1200/1500 (00:31)\r\n" + P("tagged.vqk") +
                ": invalid Velk, contains ID3v2 tag!\r\n" + P("tagged.vqk") +
                ": broken after frame 33/80 (00:00)\r\n" + P("unknown.vkq") +
                ": unrecognized format (1).\r\n----------\r\nScanned 5 files, errors with 4.\r\n");
  EXPECT_EQ(job.endedFileCount(), 5u);
  EXPECT_EQ(job.endedErrorCount(), 4u);
  // The job is idle again with everything reset.
  EXPECT_EQ(job.fileCount(), 0u);
  EXPECT_EQ(job.files().totalBytes, 0u);

  // Only the broken files' frame counts changed (version 5 reads back one less).
  const size_t hp = static_cast<size_t>(tagged.headerPos);
  EXPECT_EQ(test::ReadBytes(dir_ / "good.vlk"), good);
  EXPECT_EQ(test::ReadBytes(dir_ / "unknown.vkq"), unknown);
  EXPECT_EQ(test::ReadBytes(dir_ / "broken.vlk"), WithWord(broken.bytes, 4, 1200));
  EXPECT_EQ(test::ReadBytes(dir_ / "tagged.vqk"), WithWord(tagged.bytes, hp + 4, 33));
  EXPECT_EQ(ReadBackFrameCount(dir_ / "tagged.vqk"), 32u);

  // What a terminal shows besides the report (its figures the command-line
  // tests check in the JSON lines and the journal).
  std::vector<FileStatus> statuses;
  for (const auto& file : display_.state().files) statuses.push_back(file.outcome.status);
  EXPECT_EQ(statuses, (std::vector<FileStatus>{FileStatus::kOk, FileStatus::kOpenFailed, FileStatus::kBroken,
                                               FileStatus::kBroken, FileStatus::kUnrecognized}));
}

TEST_F(ScanJobTest, SeparatorOnlyBeforeTheFirstProblemLineWhenNothingCameBefore) {
  const Bytes a = test::MakeBroken(7, 60, 10, 6, gen::TagKind::Id3v2).bytes;
  Put("b.vlk", test::MakeStream(6, 20, 7, gen::TagKind::Id3v2).bytes);
  const Text aId3 = P("a.vlk") + ": invalid Velk, contains ID3v2 tag!\r\n",
             aBroken = P("a.vlk") + ": broken after frame 10/60 (00:00)\r\n",
             bId3 = P("b.vlk") + ": invalid Velk, contains ID3v2 tag!\r\n";
  const struct {
    std::vector<Text> paths;
    Text report;
  } cases[] = {
      // An ID3v2 line and a broken line for one file: one separator, before both.
      {{P("a.vlk"), P("b.vlk")},
       "Scanning 2 files...\r\n----------\r\n" + aId3 + aBroken + bId3 +
           "----------\r\nScanned 2 files, errors with 1.\r\n"},
      // A file that cannot be opened first: no separator at all.
      {{P("missing.vlk"), P("a.vlk")},
       "Scanning 2 files...\r\n" + P("missing.vlk") + ": file open failed.\r\n" + aId3 + aBroken +
           "----------\r\nScanned 2 files, errors with 2.\r\n"},
      // Only ID3v2 lines: no errors found.
      {{P("b.vlk")},
       "Scanning 1 file...\r\n----------\r\n" + bId3 + "----------\r\nScanned 1 file, no errors found.\r\n"},
  };
  for (const auto& c : cases) {
    Put("a.vlk", a);
    ScanJob job(display_);
    EXPECT_EQ(Run(job, c.paths), c.report);
  }
}

TEST_F(ScanJobTest, HeadersNeverUnderstoodAreNeverWritten) {
  // Accepted without reading: broken after frame 0/0, counted, not written.
  std::vector<std::pair<Text, Bytes>> files;
  Text lines;
  for (uint8_t version : {0x06, 0x16, 0x05, 0x77, 0x81}) {
    Bytes bytes = {'V', 'K', 'Q', version};
    for (int i = 0; i < 200; ++i) bytes.push_back(static_cast<uint8_t>(i * 7 + version));
    files.emplace_back(P("accepted" + std::to_string(version) + ".vlk"), bytes);
    lines += files.back().first + ": broken after frame 0/0 (00:00)\r\n";
  }
  // A full "VKQ" header whose version no frame parser handles, and one too short.
  Bytes v27 = test::MakeStream(7, 30, 8).bytes;
  v27[3] = 0x27;
  files.emplace_back(P("v27.vlk"), v27);
  files.emplace_back(P("short.vlk"),
                     Bytes{'V', 'K', 'Q', 7, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
  lines += P("v27.vlk") + ": unrecognized format (1).\r\n" + P("short.vlk") +
           ": unrecognized format (4294967295).\r\n";
  // Zero frames declared by a header that was read: broken 0/0, repaired
  // with 0, which rewrites the bytes it holds (version 5 stores count + 1).
  files.emplace_back(P("zero7.vlk"), WithWord(test::MakeStream(7, 5, 9).bytes, 4, 0));
  files.emplace_back(P("zero5.vlk"), WithWord(test::MakeStream(5, 5, 10).bytes, 4, 1));
  lines += P("zero7.vlk") + ": broken after frame 0/0 (00:00)\r\n" + P("zero5.vlk") +
           ": broken after frame 0/0 (00:00)\r\n";
  std::vector<Text> paths;
  for (const auto& [path, bytes] : files) {
    test::WriteBytes(path, bytes);
    paths.push_back(path);
  }

  ScanJob job(display_);
  // The first problem is a broken line: it gets the separator.
  EXPECT_EQ(Run(job, paths), "Scanning 9 files...\r\n----------\r\n" + lines +
                                 "----------\r\nScanned 9 files, errors with 9.\r\n");
  for (const auto& [path, bytes] : files) EXPECT_EQ(test::ReadBytes(path), bytes) << path;
  const auto reported = display_.state().files;
  ASSERT_EQ(reported.size(), 9u);
  for (size_t i = 0; i < 9; ++i) EXPECT_EQ(reported[i].outcome.rewriteRun, i >= 7) << i;
  EXPECT_EQ(ReadBackFrameCount(dir_ / "zero5.vlk"), 0u);

  // The job also ends when the list is empty, with either kind of worker.
  for (uint32_t checkers : {1u, 2u}) {
    ScanJob empty(display_);
    empty.checkers = checkers;
    EXPECT_EQ(Run(empty, {}), "Scanning 0 files...\r\n----------\r\nScanned 0 files, no errors found.\r\n");
  }
}

TEST_F(ScanJobTest, ProgressMovesOnlyOnChangeClampedAndBackToZero) {
  for (uint64_t seed = 20; seed < 23; ++seed)
    Put("p" + std::to_string(seed) + ".vlk", test::MakeStream(7, 400, seed).bytes);
  ScanJob job(display_);
  Run(job, {dir_.path()});
  std::vector<uint32_t> progress = display_.state().progress;
  ASSERT_GE(progress.size(), 50u);
  EXPECT_EQ(progress.back(), 0u);  // the end of the job
  EXPECT_GE(progress[progress.size() - 2], 95u);
  for (size_t i = 1; i + 1 < progress.size(); ++i) {
    EXPECT_LT(progress[i - 1], progress[i]) << i;  // moved only when the percent changed
    EXPECT_LE(progress[i], 100u);
  }

  // A file that grew after it was listed: the bar stops at 100.
  Put("small.vlk", test::MakeStream(7, 2, 30).bytes);
  RecordingDisplay grown;
  ScanJob growing(grown);
  growing.AddPaths({P("small.vlk")});
  Put("small.vlk", test::MakeStream(7, 300, 30).bytes);
  ASSERT_TRUE(growing.StartScan());
  growing.WaitForWorker();
  progress = grown.state().progress;
  ASSERT_GE(progress.size(), 2u);
  EXPECT_EQ(progress[progress.size() - 2], 100u);
  EXPECT_EQ(*std::max_element(progress.begin(), progress.end()), 100u);

  // Nothing measured when it was listed (it was not there yet): no movement.
  RecordingDisplay unmeasured;
  ScanJob later(unmeasured);
  later.AddPaths({P("later.vlk")});
  Put("later.vlk", test::MakeStream(7, 300, 31).bytes);
  ASSERT_TRUE(later.StartScan());
  later.WaitForWorker();
  EXPECT_EQ(unmeasured.state().progress, std::vector<uint32_t>{0});
}

TEST_F(ScanJobTest, WindowStatesThroughAJob) {
  Put("lib/a.vlk", test::MakeStream(7, 30, 40).bytes);
  Put("lib/b.vkq", test::MakeStream(4, 30, 41).bytes);
  Put("lib/skip.txt", Bytes(10, 1));
  ScanJob job(display_);
  job.ShowInitialState();
  using Events = std::vector<std::string>;
  EXPECT_EQ(display_.state().events,
            (Events{"drops:on", "button:Scan", std::string("message:") + kPromptText, "disable"}));
  EXPECT_EQ(display_.state().progress, std::vector<uint32_t>{0});

  display_.ClearEvents();
  EXPECT_FALSE(job.AddPaths({P("lib/skip.txt")}));  // nothing added: nothing shown
  EXPECT_TRUE(display_.state().events.empty());
  EXPECT_TRUE(job.AddPaths({P("lib")}));
  EXPECT_EQ(display_.state().events, (Events{"message:2 files waiting for scanning...", "enable", "focus"}));
  display_.ClearEvents();
  EXPECT_FALSE(job.AddCommandLine(P("lib/a.vlk")));  // listed already
  Put("lib/c.vlk", test::MakeStream(7, 30, 42).bytes);
  EXPECT_TRUE(job.AddCommandLine(P("lib/c.vlk")));
  EXPECT_EQ(display_.state().events, (Events{"message:3 files waiting for scanning..."}));

  // A drop during the scan is ignored.
  display_.ClearEvents();
  bool droppedDuringScan = true;
  display_.onReport = [&] { droppedDuringScan = job.AddPaths({P("lib")}); };
  ASSERT_TRUE(job.StartScan());
  job.WaitForWorker();
  display_.onReport = nullptr;
  EXPECT_FALSE(droppedDuringScan);
  const RecordingDisplay::State state = display_.state();
  ASSERT_GE(state.events.size(), 7u);
  EXPECT_EQ(Events(state.events.begin(), state.events.begin() + 3),
            (Events{"drops:off", "button:Stop", "report"}));
  EXPECT_EQ(Events(state.events.end() - 4, state.events.end()),
            (Events{"button:Scan", "report", "disable", "drops:on"}));
  EXPECT_EQ(state.box, "Scanning 3 files...\r\n----------\r\nScanned 3 files, no errors found.\r\n");
  EXPECT_EQ(state.progress.back(), 0u);

  // Files dropped after the job replace the finished report with the count.
  display_.ClearEvents();
  EXPECT_TRUE(job.AddPaths({P("lib/a.vlk")}));
  EXPECT_EQ(display_.state().events, (Events{"message:1 file waiting for scanning...", "enable", "focus"}));
}

// --- A library of every kind, run whole and stopped -------------------------

struct Library {
  std::vector<std::pair<fs::path, Bytes>> files;
  void Restore() const {
    for (const auto& [path, bytes] : files) test::WriteBytes(path, bytes);
  }
  // A job over the library and one missing file, started.
  void Start(ScanJob& job, uint32_t checkers) const {
    Restore();
    job.checkers = checkers;
    std::vector<Text> paths;
    for (const auto& [path, bytes] : files) paths.push_back(ToText(path));
    paths.push_back(ToText(files[0].first.parent_path() / "10-missing.vlk"));
    job.AddPaths(paths);
    ASSERT_TRUE(job.StartScan());
  }
};

// Good and broken files of every version, tags, failures.
Library MakeLibrary(const fs::path& dir) {
  Library library;
  auto add = [&](const std::string& name, const gen::GeneratedStream& stream) {
    library.files.emplace_back(dir / name, stream.bytes);
  };
  add("01-good7.vlk", test::MakeStream(7, 300, 50));
  add("02-broken5.vlk", test::MakeBroken(5, 300, 100, 51));
  add("03-tagged6.vlk", test::MakeStream(6, 200, 52, gen::TagKind::Id3v2));
  add("04-tagged-broken23.vlk", test::MakeBroken(23, 250, 50, 53, gen::TagKind::Id3v2Footer));
  add("05-good4.vkq", test::MakeStream(4, 150, 54));
  library.files.emplace_back(dir / "06-unknown.vlk", Bytes{'V', 'K', 'Q', 0x18, 0, 0, 0, 0});
  add("07-broken6.vqk", test::MakeBroken(6, 250, 200, 55));
  add("08-broken7.vlk", test::MakeBroken(7, 100, 1, 56));
  add("09-good23.vlk", test::MakeStream(23, 120, 57));
  return library;
}

// The whole job's report and files, to compare a stopped one with. (That
// checkers give the job of one, with and without repairs, the command-line
// tests show with -j.)
struct JobResult {
  Text report;
  std::vector<Bytes> bytes;
};

JobResult RunLibrary(const Library& library, uint32_t checkers) {
  RecordingDisplay display;
  ScanJob job(display);
  library.Start(job, checkers);
  job.WaitForWorker();
  EXPECT_NE(display.report().find("Scanned 10 files, errors with 6."), Text::npos);
  JobResult result{display.report(), {}};
  for (const auto& [path, bytes] : library.files) result.bytes.push_back(test::ReadBytes(path));
  return result;
}

// After a Stop: no summary, the window's idle state and cleared counters,
// and every file not reported finished exactly as it was; the lines written
// are lines of the full job's report, in its order.
void ExpectCleanStop(const Library& library, const JobResult& full, const RecordingDisplay& display,
                     const ScanJob& job, const std::string& where) {
  SCOPED_TRACE(where);
  const RecordingDisplay::State state = display.state();
  EXPECT_EQ(state.report.find("----------\r\nScanned "), Text::npos);
  EXPECT_FALSE(job.ended());
  EXPECT_EQ(state.box, kPromptText);
  EXPECT_EQ(state.button, kScanButtonText);
  EXPECT_FALSE(state.enabled);
  EXPECT_TRUE(state.drops);
  EXPECT_EQ(state.progress.back(), 0u);
  EXPECT_EQ(job.fileCount(), 0u);
  EXPECT_EQ(job.files().totalBytes, 0u);
  std::map<Text, FileStatus> finished;
  for (const auto& record : state.files) finished[record.path] = record.outcome.status;
  for (size_t i = 0; i < library.files.size(); ++i) {
    const auto& [path, bytes] = library.files[i];
    EXPECT_EQ(test::ReadBytes(path), finished.count(ToText(path)) ? full.bytes[i] : bytes) << path;
  }
  size_t from = 0;
  for (size_t at = 0; at < state.report.size();) {
    const size_t end = state.report.find("\r\n", at) + 2;
    const Text line = state.report.substr(at, end - at);
    const size_t found = full.report.find(line, from);
    ASSERT_NE(found, Text::npos) << "line not in the full report: " << line;
    from = found + line.size();
    at = end;
  }
}

TEST_F(ScanJobTest, StopBetweenFramesAtManyPointsLeavesUnfinishedFilesUntouched) {
  const Library library = MakeLibrary(dir_ / "lib");
  const JobResult full = RunLibrary(library, 1);
  for (uint32_t checkers : {1u, 2u}) {
    // Stops at the n-th move of the bar, and right after the n-th shown line
    // (between the broken line and the repair, the repair still belongs to
    // the frame that failed).
    for (bool onLine : {false, true}) {
      for (int stopAt = 1; stopAt < (onLine ? 12 : 110); stopAt += onLine ? 1 : 4) {
        RecordingDisplay display;
        ScanJob job(display);
        int calls = 0;
        (onLine ? display.onReport : display.onProgress) = [&] {
          if (++calls == stopAt) job.RequestStop();
        };
        library.Start(job, checkers);
        job.WaitForWorker();
        if (job.ended()) continue;  // the stop came after the last file
        job.StopScan();
        ExpectCleanStop(library, full, display, job,
                        "checkers " + std::to_string(checkers) + (onLine ? ", line " : ", progress ") +
                            std::to_string(stopAt));
      }
    }
  }
  // Stop from the front end's thread at random moments.
  std::mt19937 random(7);
  for (int round = 0; round < 24; ++round) {
    RecordingDisplay display;
    ScanJob job(display);
    library.Start(job, 1 + round % 2);
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
    job.StopScan();
    if (display.report().find("----------\r\nScanned ") != Text::npos) continue;  // finished first
    ExpectCleanStop(library, full, display, job, "round " + std::to_string(round));
  }
}

}  // namespace
}  // namespace velkscan

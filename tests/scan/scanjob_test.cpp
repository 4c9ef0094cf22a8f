// The scan job over real files: repairs announced before they are written
// (and the files never written), checker threads that cannot be had,
// progress, the window's states, and Stop at many points, with one checker
// and with two. The report text itself is asserted in report_test.cpp.
#include "scan/scanjob.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <random>
#include <system_error>
#include <thread>

#include "scantest.h"
#include "stream/filestream.h"
#include "stream/streaminfo.h"
#include "support/fakedisplay.h"

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
    job.fileList.AddPaths(paths);
    EXPECT_TRUE(job.StartScan());
    job.ReleaseWorker();
    EXPECT_EQ(job.idle.load(), 1);
    EXPECT_TRUE(job.ended);
    return display_.report();
  }

  test::ScratchDir dir_;
  RecordingDisplay display_;
};

// Every header is written only after beforeRewrite saw the planned block
// while the file still held the old one, and only in the frame count; what
// was never understood is never written. The same with two checkers.
TEST_F(ScanJobTest, RepairsAreAnnouncedBeforeTheWriteAndChangeOnlyTheCount) {
  const gen::GeneratedStream broken = test::MakeBroken(7, 1500, 1200, 2);
  const gen::GeneratedStream tagged = test::MakeBroken(5, 80, 33, 3, gen::TagKind::Id3v2Footer);
  Bytes v27 = test::MakeStream(7, 30, 8).bytes;
  v27[3] = 0x27;                           // a full header of a version no frame parser handles
  Bytes accepted = {'V', 'K', 'Q', 0x16};  // taken without reading: broken 0/0
  accepted.resize(200, 7);
  const std::map<std::string, Bytes> files = {
      {"good.vlk", test::MakeStream(7, 40, 1).bytes},
      {"broken.vlk", broken.bytes},
      {"tagged.vqk", tagged.bytes},
      {"v27.vlk", v27},
      {"accepted.vlk", accepted},
      {"zero5.vlk", WithWord(test::MakeStream(5, 5, 10).bytes, 4, 1)}};
  const std::map<std::string, Bytes> repaired = {
      {"broken.vlk", WithWord(broken.bytes, 4, 1200)},
      {"tagged.vqk", WithWord(tagged.bytes, static_cast<size_t>(tagged.headerPos) + 4, 33)}};
  for (uint32_t checkers : {1u, 2u}) {
    std::vector<Text> paths;
    for (const auto& [name, bytes] : files) paths.push_back(ToText(Put(name, bytes)));
    std::mutex mutex;
    std::map<Text, std::pair<Bytes, Bytes>> announced;  // path: the file then, the block planned
    ScanJob job(display_);
    job.checkers = checkers;
    job.beforeRewrite = [&](TextView path, const FileOutcome& planned) {
      std::lock_guard<std::mutex> lock(mutex);
      announced[Text(path)] = {test::ReadBytes(path), Bytes(planned.headerAfter, planned.headerAfter + 32)};
      const Bytes old(planned.headerBefore, planned.headerBefore + 32);
      EXPECT_EQ(Bytes(announced[Text(path)].first.begin() + planned.headerPos,
                      announced[Text(path)].first.begin() + planned.headerPos + 32),
                old);
      return true;
    };
    Run(job, paths);
    for (const auto& [name, bytes] : files) {
      const Bytes now = test::ReadBytes(dir_ / name);
      const bool written = now != bytes || name == "zero5.vlk";  // zero5: 0 frames stored as 1, as it was
      EXPECT_EQ(announced.count(P(name)) == 1, written) << name;
      if (written) {
        EXPECT_EQ(announced[P(name)].first, bytes) << name;
      }
      EXPECT_EQ(now, repaired.count(name) ? repaired.at(name) : bytes) << name;
    }
    EXPECT_EQ(ReadBackFrameCount(dir_ / "tagged.vqk"), 32u);  // version 5 reads back one less
    EXPECT_EQ(ReadBackFrameCount(dir_ / "zero5.vlk"), 0u);
  }
}

// A parallel job that gets fewer checker threads than asked, or none, still
// checks every file and ends (it used to wait forever with none).
TEST_F(ScanJobTest, CheckerThreadsThatCannotBeCreated) {
  Put("lib/a.vlk", test::MakeBroken(7, 300, 100, 11).bytes);
  Put("lib/b.vlk", test::MakeStream(6, 300, 12).bytes);
  Put("lib/c.vlk", test::MakeBroken(23, 200, 50, 13).bytes);
  static std::atomic<int> allowed;
  for (int threads : {0, 1}) {
    allowed = threads;
    RecordingDisplay display;
    ScanJob job(display);
    job.checkers = 4;
    job.repair = false;
    job.startThread = [](std::function<void()> run) {
      if (allowed-- <= 0)
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
      return std::thread(std::move(run));
    };
    job.AddDroppedPaths({P("lib")});
    ASSERT_TRUE(job.StartScan());
    job.ReleaseWorker();
    EXPECT_TRUE(job.ended) << threads;
    EXPECT_EQ(job.endedErrorCount, 2u) << threads;
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
  growing.fileList.AddFile(P("small.vlk"));
  Put("small.vlk", test::MakeStream(7, 300, 30).bytes);
  ASSERT_TRUE(growing.StartScan());
  growing.ReleaseWorker();
  progress = grown.state().progress;
  ASSERT_GE(progress.size(), 2u);
  EXPECT_EQ(progress[progress.size() - 2], 100u);
  EXPECT_EQ(*std::max_element(progress.begin(), progress.end()), 100u);

  // Nothing measured when it was listed (it was not there yet): no movement.
  RecordingDisplay unmeasured;
  ScanJob later(unmeasured);
  later.fileList.AddFile(P("later.vlk"));
  Put("later.vlk", test::MakeStream(7, 300, 31).bytes);
  ASSERT_TRUE(later.StartScan());
  later.ReleaseWorker();
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
  EXPECT_FALSE(job.AddDroppedPaths({P("lib/skip.txt")}));  // nothing added: nothing shown
  EXPECT_TRUE(display_.state().events.empty());
  EXPECT_TRUE(job.AddDroppedPaths({P("lib")}));
  EXPECT_EQ(display_.state().events, (Events{"message:2 files waiting for scanning...", "enable", "focus"}));
  display_.ClearEvents();
  EXPECT_FALSE(job.AddCommandLineWhileIdle(P("lib/a.vlk")));  // listed already
  Put("lib/c.vlk", test::MakeStream(7, 30, 42).bytes);
  EXPECT_TRUE(job.AddCommandLineWhileIdle(P("lib/c.vlk")));
  EXPECT_EQ(display_.state().events, (Events{"message:3 files waiting for scanning..."}));

  // A drop during the scan is ignored.
  display_.ClearEvents();
  bool droppedDuringScan = true;
  display_.onReport = [&] { droppedDuringScan = job.AddDroppedPaths({P("lib")}); };
  ASSERT_TRUE(job.StartScan());
  job.ReleaseWorker();
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
  EXPECT_TRUE(job.AddDroppedPaths({P("lib/a.vlk")}));
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
    for (const auto& [path, bytes] : files) job.fileList.AddFile(ToText(path));
    job.fileList.AddFile(ToText(files[0].first.parent_path() / "10-missing.vlk"));
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
  job.ReleaseWorker();
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
  EXPECT_FALSE(job.ended);
  EXPECT_EQ(state.box, kPromptText);
  EXPECT_EQ(state.button, kScanButtonText);
  EXPECT_FALSE(state.enabled);
  EXPECT_TRUE(state.drops);
  EXPECT_EQ(state.progress.back(), 0u);
  EXPECT_EQ(job.fileList.count() + job.errorCount + job.id3Count + job.currentIndex, 0u);
  EXPECT_EQ(job.bytesDone + job.fileList.totalBytes, 0u);
  std::map<Text, FileStatus> finished;
  for (const auto& [outcome, path] : state.files) finished[path] = outcome.status;
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
      for (int stopAt = 1; stopAt < (onLine ? 12 : 110); stopAt += onLine ? 1 : 9) {
        RecordingDisplay display;
        ScanJob job(display);
        int calls = 0;
        (onLine ? display.onReport : display.onProgress) = [&] {
          if (++calls == stopAt) job.idle.store(1);
        };
        library.Start(job, checkers);
        job.ReleaseWorker();
        if (job.ended) continue;  // the stop came after the last file
        job.StopScan();
        ExpectCleanStop(library, full, display, job,
                        "checkers " + std::to_string(checkers) + (onLine ? ", line " : ", progress ") +
                            std::to_string(stopAt));
      }
    }
  }
  // Stop from the front end's thread at random moments.
  std::mt19937 random(7);
  for (int round = 0; round < 12; ++round) {
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

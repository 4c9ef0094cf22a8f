// The scan job over real files: repairs announced before they are written, missing checker
// threads, progress and window states, Stop at many points, names that join a running job
// (report text: report_test.cpp).
#include "scan/scanjob.h"

#include <future>
#include <map>
#include <mutex>
#include <random>
#include <system_error>

#include "stream/testfiles.h"
#include "support/fakedisplay.h"
#include "support/streams.h"

namespace velkscan {
namespace {

using test::Bytes;
using test::RecordingDisplay;
using test::ToText;
namespace fs = std::filesystem;
using Events = std::vector<std::string>;

Bytes WithWord(Bytes bytes, size_t offset, uint32_t value) {
  test::PutWordAt(bytes, offset, value);
  return bytes;
}

Bytes WithByte(Bytes bytes, size_t offset, std::initializer_list<uint8_t> values) {
  std::copy(values.begin(), values.end(), bytes.begin() + static_cast<long>(offset));
  return bytes;
}

class ScanJobTest : public ::testing::Test {
 protected:
  fs::path Put(const std::string& name, const Bytes& bytes) {
    test::WriteBytes(dir_ / name, bytes);
    return dir_ / name;
  }
  Text P(const std::string& name) const { return ToText(dir_ / name); }

  void Run(ScanJob& job, const std::vector<Text>& paths) {
    job.AddPaths(paths);
    ASSERT_TRUE(job.StartScan());
    job.WaitForWorker();
    EXPECT_TRUE(job.ended());
  }

  test::ScratchDir dir_;
  RecordingDisplay display_;
};

// Files of every kind, each repaired by a job of one checker and of two: what each looked like when its
// rewrite was announced, and after the job.
class ScanJobRepairs : public ScanJobTest {
 protected:
  const gen::GeneratedStream broken_ = test::MakeBroken(7, 1500, 1200, 2);
  const gen::GeneratedStream tagged_ = test::MakeBroken(5, 80, 33, 3, gen::TagKind::Id3v2Footer);
  const std::map<std::string, Bytes> files_ = {
      {"good.vlk", test::MakeStream(7, 40, 1).bytes},
      {"broken.vlk", broken_.bytes},
      {"tagged.vqk", tagged_.bytes},
      {"v27.vlk", WithByte(test::MakeStream(7, 30, 8).bytes, 3, {0x27})},   // no frame parser takes it
      {"accepted.vlk", WithByte(Bytes(200, 7), 0, {'V', 'K', 'Q', 0x16})},  // taken without reading: 0/0
      {"zero5.vlk", WithWord(test::MakeStream(5, 5, 10).bytes, 4, 1)}};  // 0 frames, stored as 1: as repaired
  struct Seen {
    std::map<std::string, Bytes> announced, after;  // by name: the file when its rewrite was announced
  };
  Seen RunJob(uint32_t checkers) {
    std::vector<Text> paths;
    for (const auto& [name, bytes] : files_) paths.push_back(ToText(Put(name, bytes)));
    std::mutex mutex;
    Seen run;
    ScanJob job(display_, test::kNormal);
    job.settings.checkers = checkers;
    job.hooks.beforeRewrite = [&](TextView path, const FileOutcome& plan) {
      std::lock_guard<std::mutex> lock(mutex);
      const Bytes now = run.announced[fs::path(Text(path)).filename().string()] = test::ReadBytes(path);
      return std::equal(plan.headerBefore, plan.headerBefore + 32, now.begin() + plan.headerPos);
    };
    Run(job, paths);
    for (const auto& [name, bytes] : files_) run.after[name] = test::ReadBytes(dir_ / name);
    return run;
  }
};

// Every header is written only after beforeRewrite saw the planned block while the file still held the old
// one; only the frame count is written, and only where the header was understood.
TEST_F(ScanJobRepairs, OnlyTheCountOfAnUnderstoodHeaderIsWrittenAfterItsAnnouncement) {
  const std::map<std::string, Bytes> repaired = {
      {"broken.vlk", WithWord(broken_.bytes, 4, 1200)},
      {"tagged.vqk", WithWord(tagged_.bytes, static_cast<size_t>(tagged_.headerPos) + 4, 33)}};
  for (uint32_t checkers : {1u, 2u}) {
    const Seen run = RunJob(checkers);
    for (const auto& [name, bytes] : files_) {
      EXPECT_EQ(run.after.at(name), repaired.count(name) ? repaired.at(name) : bytes) << name;
      EXPECT_EQ(run.announced.count(name), repaired.count(name)) << name;
      EXPECT_TRUE(!run.announced.count(name) || run.announced.at(name) == bytes) << name;
    }
  }
}

// A repair writes only to the file it checked, while its path still names it with the size and header it had
// (else every file stays as it is), and does not journal again a header another repair wrote first.
TEST_F(ScanJobTest, ARepairWritesOnlyToTheFileItChecked) {
  const Bytes broken = test::MakeBroken(7, 300, 120, 31).bytes;
  const Bytes repaired = WithWord(broken, 4, 120);
  const Bytes otherHeader = WithWord(broken, 20, 0x12345678);  // beside the frame count
  Bytes longer = broken;
  longer.push_back(0);
  const fs::path path = dir_ / "f.vlk", kept = dir_ / "kept.vlk", other = dir_ / "other.vlk";
  const struct {
    const char* name;
    bool inJournal;   // the change comes in beforeRewrite, else right after the broken line
    Bytes meanwhile;  // the bytes put at the path then
    bool rename;      // by renaming another file over it, else written in place
  } cases[] = {{"renamed over during the journal", true, broken, true},
               {"renamed over before the journal", false, broken, true},
               {"grew", false, longer, false},
               {"another header", false, otherHeader, false},
               {"repaired by another", false, repaired, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(kept);
    test::WriteBytes(path, broken);
    fs::create_hard_link(path, kept);  // the checked file, whatever the path names later
    auto meddle = [&] {
      if (!c.rename) return test::WriteBytes(path, c.meanwhile);
      test::WriteBytes(other, c.meanwhile);
      fs::rename(other, path);
    };
    RecordingDisplay display;
    ScanJob job(display, test::kNormal);
    int announced = 0;
    job.hooks.beforeRewrite = [&](TextView, const FileOutcome&) {
      ++announced;
      if (c.inJournal) meddle();
      return true;
    };
    bool done = c.inJournal;
    display.onReport = [&] {
      if (!done && display.report().find(VTEXT("broken after")) != Text::npos) done = true, meddle();
    };
    Run(job, {ToText(path)});
    EXPECT_EQ(announced, c.inJournal ? 1 : 0);
    EXPECT_EQ(test::ReadBytes(path), c.meanwhile);
    EXPECT_EQ(test::ReadBytes(kept), c.rename ? broken : c.meanwhile);
  }
}

// A file changed while it is read keeps the stamp it had before: the next look at it finds it changed.
TEST_F(ScanJobTest, AFileChangedDuringItsCheckKeepsItsStampOfBefore) {
  static fs::path path;  // the hasher below moves its modification time as the check reads it
  path = Put("f.vlk", test::MakeStream(7, 40, 1).bytes);
  struct Toucher final : ContentHasher {
    void Update(const void*, std::size_t) override {
      if (!touched) fs::last_write_time(path, fs::last_write_time(path) + std::chrono::hours(1));
      touched = true;
    }
    void Digest(uint8_t (&)[16]) override {}
    bool touched = false;
  };
  FileStamp before, after;
  ASSERT_TRUE(ReadPathStamp(ToText(path), before));
  ScanJob job(display_, test::kNormal);
  job.hooks.makeHasher = [] { return std::unique_ptr<ContentHasher>(new Toucher); };
  Run(job, {ToText(path)});
  ASSERT_TRUE(ReadPathStamp(ToText(path), after));
  ASSERT_NE(after, before);
  const std::vector<std::pair<FileOutcome, Text>> files = display_.state().files;
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(files[0].first.stamp == before);
}

// A parallel job that gets fewer checker threads than asked, or none, still checks every file and ends (it
// used to wait forever with none); without a worker thread the scan does not start.
TEST_F(ScanJobTest, CheckerThreadsThatCannotBeCreated) {
  Put("lib/a.vlk", test::MakeBroken(7, 300, 100, 11).bytes);
  Put("lib/b.vlk", test::MakeStream(6, 300, 12).bytes);
  Put("lib/c.vlk", test::MakeBroken(23, 200, 50, 13).bytes);
  static std::atomic<int> allowed;
  for (int threads : {-1, 0, 1}) {
    allowed = threads + 1;  // the worker's first
    RecordingDisplay display;
    ScanJob job(display, test::kNormal);
    job.settings.checkers = 4;
    job.settings.repair = false;
    job.hooks.startThread = [](std::function<void()> run) {
      if (allowed-- <= 0)
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
      return std::thread(std::move(run));
    };
    job.AddPaths({P("lib")});
    ASSERT_EQ(job.StartScan(), threads >= 0);
    job.WaitForWorker();
    if (threads < 0) {
      EXPECT_FALSE(job.running());
      continue;
    }
    EXPECT_TRUE(job.ended() && job.endedErrorCount() == 2u) << threads;
  }
}

// A library of three files, one of which grows after it was listed, shown in the window and listed.
class ScanJobWindow : public ScanJobTest {
 protected:
  void SetUp() override {
    for (uint64_t seed = 20; seed < 23; ++seed)
      Put("lib/p" + std::to_string(seed) + ".vlk", test::MakeStream(7, 300, seed).bytes);
    Put("lib/skip.txt", Bytes(10, 1));
    job_.ShowInitialState();
    EXPECT_EQ(display_.state().events,
              (Events{"drops:on", "button:Scan", std::string("message:") + kPromptText, "disable"}));
    display_.ClearEvents();
    EXPECT_FALSE(job_.AddPaths({P("lib/skip.txt")}));  // nothing added: nothing shown
    EXPECT_TRUE(job_.AddPaths({P("lib")}));
    EXPECT_FALSE(job_.AddCommandLine(P("lib/p20.vlk")));  // listed already
    EXPECT_EQ(display_.state().events,
              (Events{"message:3 files waiting for scanning...", "enable", "focus"}));
    Put("lib/p20.vlk", test::MakeStream(7, 600, 20).bytes);
    display_.ClearEvents();
  }
  ScanJob job_{display_, test::kNormal};
};

// Drops are refused while a job runs (the report's table), the button says Stop, and all comes back at its
// end with the last figures.
TEST_F(ScanJobWindow, TheWindowsStatesFollowTheJob) {
  ASSERT_TRUE(job_.StartScan());
  job_.WaitForWorker();
  const Events events = display_.state().events;
  EXPECT_EQ(Events(events.begin(), events.begin() + 4),
            (Events{"drops:off", "button:Stop", "begin", "report"}));
  EXPECT_EQ(Events(events.end() - 4, events.end()), (Events{"button:Scan", "report", "disable", "drops:on"}));
  const JobFigures last = display_.state().figures;  // every file done, the grown one whole
  EXPECT_TRUE(last.filesDone == 3 && last.fileCount == 3 && last.bytesChecked > last.totalBytes);
  // A press on its way as the job ended (the button still read Stop): nothing starts, the window stays.
  display_.ClearEvents();
  EXPECT_TRUE(job_.PressButton());
  EXPECT_TRUE(display_.state().events.empty());
}

// The bar moves only when its percentage changes, stops at 100 for a file that grew, and ends at 0.
TEST_F(ScanJobWindow, TheBarMovesOnlyWhenItsPercentageChanges) {
  ASSERT_TRUE(job_.StartScan());
  job_.WaitForWorker();
  const std::vector<uint32_t> progress = display_.state().progress;
  ASSERT_GE(progress.size(), 50u);
  EXPECT_EQ(progress.back(), 0u);
  EXPECT_EQ(progress[progress.size() - 2], 100u);
  for (size_t i = 2; i + 1 < progress.size(); ++i)  // [0]: the initial state; past 100 it stays
    EXPECT_TRUE(progress[i - 1] < progress[i] || (progress[i] == 100 && progress[i - 1] == 100)) << i;
}

// Stopped between frames at many points (at the n-th move of the bar, right after the n-th shown line, from
// the front end's thread at random moments), with one checker and with two: no summary, the window idle,
// every file not reported exactly as it was, and the lines written are lines of the full job's report, in its
// order.
TEST_F(ScanJobTest, StopBetweenFramesAtManyPointsLeavesUnfinishedFilesUntouched) {
  const std::vector<std::pair<std::string, Bytes>> files = {
      {"01.vlk", test::MakeStream(7, 300, 50).bytes},
      {"02.vlk", test::MakeBroken(5, 300, 100, 51).bytes},
      {"03.vlk", test::MakeStream(6, 200, 52, gen::TagKind::Id3v2).bytes},
      {"04.vlk", test::MakeBroken(23, 250, 50, 53, gen::TagKind::Id3v2Footer).bytes},
      {"05.vkq", test::MakeStream(4, 150, 54).bytes},
      {"06.vlk", Bytes{'V', 'K', 'Q', 0x18, 0, 0, 0, 0}},
      {"07.vqk", test::MakeBroken(6, 250, 200, 55).bytes},
      {"08.vlk", test::MakeBroken(7, 100, 1, 56).bytes}};
  auto start = [&](ScanJob& job, uint32_t checkers) {
    std::vector<Text> paths = {P("lib/00-missing.vlk")};
    for (const auto& [name, bytes] : files) paths.push_back(ToText(Put("lib/" + name, bytes)));
    job.settings.checkers = checkers;
    job.AddPaths(paths);
    ASSERT_TRUE(job.StartScan());
  };
  RecordingDisplay whole;
  ScanJob fullJob(whole, test::kNormal);
  start(fullJob, 1);
  fullJob.WaitForWorker();
  const Text full = whole.report();
  std::vector<Bytes> repaired;
  for (const auto& [name, bytes] : files) repaired.push_back(test::ReadBytes(dir_ / "lib" / name));
  auto expectCleanStop = [&](const RecordingDisplay& display, const ScanJob& job, const std::string& where) {
    SCOPED_TRACE(where);
    const RecordingDisplay::State state = display.state();
    // The list gone, the window idle as at its start.
    EXPECT_TRUE(!job.ended() && job.fileCount() == 0 && job.files().notChecked.empty() &&
                state.progress.back() == 0);
    EXPECT_EQ(Events(state.events.end() - 4, state.events.end()),
              (Events{"button:Scan", std::string("message:") + kPromptText, "disable", "drops:on"}));
    std::map<Text, FileStatus> finished;
    for (const auto& [outcome, path] : state.files) finished[path] = outcome.status;
    for (size_t i = 0; i < files.size(); ++i) {
      const Text path = P("lib/" + files[i].first);
      EXPECT_TRUE(test::ReadBytes(path) == (finished.count(path) ? repaired[i] : files[i].second)) << path;
    }
    for (size_t at = 0, from = 0; at < state.report.size();) {
      const Text line = state.report.substr(at, state.report.find(VTEXT("\r\n"), at) + 2 - at);
      from = full.find(line, from);
      ASSERT_NE(from, Text::npos) << "not a line of the full report, in order: " << line;
      from += line.size(), at += line.size();
    }
  };
  for (uint32_t checkers : {1u, 2u}) {
    for (bool onLine : {false, true}) {
      for (int stopAt = 1; stopAt < (onLine ? 12 : 110); stopAt += onLine ? 1 : 9) {
        RecordingDisplay display;
        ScanJob job(display, test::kNormal);
        int calls = 0;
        (onLine ? display.onReport : display.onProgress) = [&] {
          if (++calls == stopAt) job.RequestStop();
        };
        start(job, checkers);
        job.WaitForWorker();
        if (job.ended()) continue;  // the stop came after the last file
        job.StopScan();
        expectCleanStop(display, job,
                        std::to_string(checkers) + (onLine ? " line " : " bar ") + std::to_string(stopAt));
      }
    }
  }
  std::mt19937 random(7);
  for (int round = 0; round < 12; ++round) {
    RecordingDisplay display;
    ScanJob job(display, test::kNormal);
    start(job, 1 + round % 2);
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
    job.StopScan();
    if (display.report().find(VTEXT("Scanned ")) == Text::npos)
      expectCleanStop(display, job, "round " + std::to_string(round));
  }
}

// Names added while a job runs (one checker and two) join it: each batch's line says how many files
// joined, a name listed already is not checked twice, one naming nothing gets its line, the summary counts
// them all, the bar is left full; names that come as the job ends (its door closed) are the next list's.
TEST_F(ScanJobTest, NamesAddedDuringAScanJoinIt) {
  for (uint32_t checkers : {1u, 2u}) {
    Put("a.vlk", test::MakeStream(7, 300, 1).bytes), Put("b.vlk", test::MakeBroken(7, 300, 100, 2).bytes);
    Put("more/c.vlk", test::MakeStream(7, 50, 3).bytes);
    RecordingDisplay display;
    ScanJob job(
        display,
        ScanSettings{
            .checkers = checkers, .idlePriority = false, .joinWhileRunning = true, .keepResults = true});
    std::promise<void> reached, release, ending;
    job.hooks.beforeRewrite = [&](TextView, const FileOutcome&) {
      return reached.set_value(), release.get_future().wait(), true;
    };
    job.AddPaths({P("a.vlk"), P("b.vlk")});
    ASSERT_TRUE(job.StartScan());
    reached.get_future().wait();  // b's rewrite holds the job
    EXPECT_TRUE(job.AddPaths({P("a.vlk"), P("more"), P("nothing")}));
    release.set_value();
    job.WaitForWorker();
    const Text report = display.report();
    EXPECT_NE(
        report.find(P("nothing") + ": not checked (no such file or folder).\r\n1 file joined the scan.\r\n"),
        Text::npos);
    EXPECT_TRUE(report.ends_with("Scanned 3 files, errors with 2.\r\n") &&
                display.state().progress.back() == 100)
        << report;
    job.hooks.beforeRewrite = nullptr;
    job.hooks.atJobEnd = [&] { return ending.set_value(), Text(); };
    job.AddPaths({P("a.vlk")});
    ASSERT_TRUE(job.StartScan());
    ending.get_future().wait();
    EXPECT_TRUE(job.AddPaths({P("more")}) && !job.running() && job.fileCount() == 1u);
  }
}

}  // namespace
}  // namespace velkscan

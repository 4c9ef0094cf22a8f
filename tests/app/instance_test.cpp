// One window per user: the real `velkscan` started as a second process
// forwards its arguments to a window in this test (idle, during a scan,
// without arguments, paths with spaces), a crashed instance's socket does
// not stop the next start, two starts at once give one first instance, a
// start waits for a first instance that is still starting, and the program
// runs at idle priority.
#include <linux/ioprio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QProcess>
#include <QSignalSpy>
#include <algorithm>
#include <memory>

#include "apptest.h"
#include "qt/singleinstance.h"

using namespace velkscan;
using namespace velkscan::apptest;

namespace {

// A started `velkscan`, its output gathered as it comes (not read inside
// QTRY_ conditions, which are evaluated again after success).
class Program {
 public:
  explicit Program(const std::vector<fs::path>& paths = {}) {
    QStringList arguments;
    for (const fs::path& path : paths) arguments << ToQ(path);
    process_.setProcessChannelMode(QProcess::MergedChannels);
    QObject::connect(&process_, &QProcess::readyRead, [this] { output_ += process_.readAll(); });
    process_.start(QStringLiteral(VELKSCAN_PROGRAM), arguments);
  }
  ~Program() {
    if (running()) {
      process_.kill();
      process_.waitForFinished(10000);
    }
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  QProcess& process() { return process_; }
  bool running() const { return process_.state() != QProcess::NotRunning; }
  bool endedCleanly() const {
    return !running() && process_.exitStatus() == QProcess::NormalExit && process_.exitCode() == 0;
  }
  // Waits for the program to end (serving events meanwhile); true when it
  // ended with status 0.
  bool EndsCleanly() {
    return QTest::qWaitFor([this] { return !running(); }, 30000) && endedCleanly();
  }
  const char* output() const { return output_.constData(); }

 private:
  QProcess process_;
  QByteArray output_;
};

// True when a window listens on the user's socket.
bool FirstAnswers() {
  SingleInstance probe(SingleInstance::DefaultSocketPath());
  return probe.ForwardToFirst(std::string());
}

// This test's window, being the first instance; what it receives is counted.
struct FirstInstance {
  SingleInstance instance{SingleInstance::DefaultSocketPath()};
  MainDialog dialog;
  QSignalSpy received{&instance, &SingleInstance::commandLineReceived};

  // Listens, under the lock taken before (as a starting window does).
  bool Listen() {
    if (!instance.Listen()) return false;
    instance.Unlock();
    QObject::connect(&instance, &SingleInstance::commandLineReceived, &dialog,
                     &MainDialog::AddForwardedCommandLine);
    dialog.show();
    return true;
  }
  // False when another instance answered or the socket could not be had.
  bool Start() { return instance.Lock() && !instance.ForwardToFirst(std::string()) && Listen(); }
};

}  // namespace

class InstanceTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void cleanupTestCase();
  void cleanup();

  void forwardsWhileIdle();
  void forwardedDuringScanOrWithoutArgumentsChangesNothing();
  void staleSocketIsReplaced();
  void simultaneousStartsMakeOneFirst();
  void secondStartWaitsForFirstStarting();
  void programRunsAtIdlePriority();

 private:
  std::unique_ptr<ScratchDir> shared_;
  fs::path master_;
};

void InstanceTest::initTestCase() {
  shared_ = std::make_unique<ScratchDir>("app_instance_shared");
  // The socket and lock of this test's "user" live here, apart from any
  // real window, for this process and every program it starts. A local
  // socket's path must stay short (108 bytes).
  fs::path runtime = shared_->path() / "rt";
  if (runtime.string().size() > 80) {
    char pattern[] = "/tmp/velkscan-rt-XXXXXX";
    QVERIFY(::mkdtemp(pattern) != nullptr);
    runtime = pattern;
  }
  fs::create_directories(runtime);
  ::chmod(runtime.c_str(), 0700);
  qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(runtime.string()));
  QVERIFY(SingleInstance::DefaultSocketPath().startsWith(ToQ(runtime)));

  master_ = shared_->path() / "master.vlk";
  LongJob::WriteMaster(master_);
}

void InstanceTest::cleanupTestCase() {
  const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
  std::error_code ignored;
  if (runtime.startsWith("/tmp/velkscan-rt-")) fs::remove_all(runtime.toStdString(), ignored);
  shared_.reset();
}

void InstanceTest::cleanup() {
  // Whatever a failed test left listening would answer the next one.
  QTRY_VERIFY(!FirstAnswers());
}

void InstanceTest::forwardsWhileIdle() {
  ScratchDir dir("app_instance");
  const fs::path spaced = WriteStream(dir / "with space" / "a b.vlk", 10, 1);
  const fs::path upper = WriteStream(dir / "c  d.VKQ", 10, 2);
  const fs::path b = WriteStream(dir / "folder" / "b.vkq", 10, 3);
  const fs::path c = WriteStream(dir / "folder" / "c.vqk", 10, 4);
  WriteText(dir / "folder" / "d.txt", "not listed");
  FirstInstance first;
  QVERIFY(first.Start());

  // Program name left out, each argument with a space in double quotes.
  Program second({spaced, upper, dir / "folder"});
  QVERIFY2(second.EndsCleanly(), second.output());
  QTRY_COMPARE(first.received.count(), 1);
  QCOMPARE(first.received.at(0).at(0).toByteArray(),
           QByteArray::fromStdString('"' + spaced.string() + "\" \"" + upper.string() + "\" " +
                                     (dir / "folder").string()));
  VELK_EXPECT_IDLE(first.dialog, QStringLiteral("4 files waiting for scanning..."), true);
  QVERIFY(ListedPaths(first.dialog) == Strings({spaced, upper, b, c}));

  // More from another start: added behind them, duplicates skipped.
  const fs::path e = WriteStream(dir / "e.vlk", 10, 5);
  Program third({e, b});
  QVERIFY2(third.EndsCleanly(), third.output());
  QTRY_COMPARE(first.received.count(), 2);
  VELK_EXPECT_IDLE(first.dialog, QStringLiteral("5 files waiting for scanning..."), true);
}

void InstanceTest::forwardedDuringScanOrWithoutArgumentsChangesNothing() {
  ScratchDir dir("app_instance");
  const LongJob job(master_, dir / "long");
  FirstInstance first;
  QVERIFY(first.Start());

  // Without arguments: the connection comes and goes without a text.
  Program empty;
  QVERIFY2(empty.EndsCleanly(), empty.output());
  QTest::qWait(300);
  QCOMPARE(first.received.count(), 0);
  VELK_EXPECT_IDLE(first.dialog, kPrompt, false);

  // During a scan: taken from the socket, and dropped.
  first.dialog.AddForwardedCommandLine(CommandLineOf({job.directory()}));
  VELK_SETTLE(first.dialog);
  QTest::mouseClick(first.dialog.button(), Qt::LeftButton);
  QVERIFY(first.dialog.job().running());
  Program second({WriteStream(dir / "extra.vlk", 10, 1)});
  QVERIFY2(second.EndsCleanly(), second.output());
  QTRY_COMPARE(first.received.count(), 1);
  QCOMPARE(first.dialog.job().fileCount(), 50u);
  QVERIFY2(first.dialog.job().running(), "the job ended before the test was done with it");
  // Not waiting anywhere either: after Stop the list is empty.
  QTest::mouseClick(first.dialog.button(), Qt::LeftButton);
  VELK_EXPECT_IDLE(first.dialog, kPrompt, false);
  QCOMPARE(first.dialog.job().fileCount(), 0u);
}

void InstanceTest::staleSocketIsReplaced() {
  ScratchDir dir("app_instance");
  const fs::path socket = SingleInstance::DefaultSocketPath().toStdString();
  // A real window, killed without a chance to clean up.
  {
    Program crashed;
    QTRY_VERIFY_WITH_TIMEOUT(FirstAnswers(), 30000);
    crashed.process().kill();
    QVERIFY(crashed.process().waitForFinished(10000));
  }
  QVERIFY2(fs::exists(fs::symlink_status(socket)), "the killed window left no socket behind");
  QVERIFY(!FirstAnswers());

  // The next start becomes the first all the same, and takes forwarded starts.
  FirstInstance first;
  QVERIFY(first.Start());
  Program second({WriteStream(dir / "a.vlk", 10, 1)});
  QVERIFY2(second.EndsCleanly(), second.output());
  QTRY_COMPARE(first.dialog.job().fileCount(), 1u);
}

void InstanceTest::simultaneousStartsMakeOneFirst() {
  ScratchDir dir("app_instance");
  constexpr int kStarts = 4;
  for (int round = 0; round < 3; ++round) {
    std::vector<std::unique_ptr<Program>> programs;
    for (int i = 0; i < kStarts; ++i) {
      const fs::path file = dir / ("f" + std::to_string(round) + std::to_string(i) + ".vlk");
      programs.push_back(std::make_unique<Program>(std::vector<fs::path>{WriteStream(file, 5, i)}));
    }
    auto finished = [&] {
      return static_cast<int>(
          std::count_if(programs.begin(), programs.end(), [](const auto& p) { return !p->running(); }));
    };
    // All but one hand their files over and end; one stays, the window.
    QTRY_COMPARE_WITH_TIMEOUT(finished(), kStarts - 1, 60000);
    QTest::qWait(500);
    QCOMPARE(finished(), kStarts - 1);
    Program* window = nullptr;
    for (const auto& program : programs) {
      if (program->running()) {
        window = program.get();
      } else {
        QVERIFY2(program->endedCleanly(), program->output());
      }
    }
    QVERIFY(window != nullptr);
    QVERIFY(FirstAnswers());
    // A termination request closes it cleanly.
    window->process().terminate();
    QVERIFY2(window->EndsCleanly(), window->output());
    QVERIFY(!FirstAnswers());
  }
}

void InstanceTest::secondStartWaitsForFirstStarting() {
  ScratchDir dir("app_instance");
  // A first instance that has taken the lock but does not listen yet.
  FirstInstance first;
  QVERIFY(first.instance.Lock());
  Program second({WriteStream(dir / "a.vlk", 10, 1)});
  QTest::qWait(1000);
  QVERIFY2(second.running(), "the second start did not wait for the first");
  QVERIFY(first.Listen());
  QVERIFY2(second.EndsCleanly(), second.output());
  QTRY_COMPARE(first.dialog.job().fileCount(), 1u);
}

void InstanceTest::programRunsAtIdlePriority() {
  Program window;
  QTRY_VERIFY_WITH_TIMEOUT(FirstAnswers(), 30000);
  const std::string pid = std::to_string(window.process().processId());
  // Every thread, Qt's own included, at the lowest CPU priority and in the
  // idle I/O class.
  const std::vector<ThreadFigures> threads = ThreadsOf(pid);
  QVERIFY(!threads.empty());
  for (const ThreadFigures& thread : threads) QCOMPARE(thread.nice, 19);
  std::error_code error;
  int tasks = 0;
  for (const fs::directory_entry& task : fs::directory_iterator("/proc/" + pid + "/task", error)) {
    const long priority =
        ::syscall(SYS_ioprio_get, IOPRIO_WHO_PROCESS, std::stol(task.path().filename().string()));
    QVERIFY(priority >= 0);
    QCOMPARE(IOPRIO_PRIO_CLASS(priority), long{IOPRIO_CLASS_IDLE});
    ++tasks;
  }
  QVERIFY(tasks > 0);
  window.process().terminate();
  QVERIFY2(window.EndsCleanly(), window.output());
}

QTEST_MAIN(InstanceTest)
#include "instance_test.moc"

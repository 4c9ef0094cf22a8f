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
  explicit Program(const QStringList& arguments) {
    process_.setProcessChannelMode(QProcess::MergedChannels);
    QObject::connect(&process_, &QProcess::readyRead, [this] { output_ += process_.readAll(); });
    process_.start(QStringLiteral(VELKSCAN_PROGRAM), arguments);
  }
  ~Program() {
    if (process_.state() != QProcess::NotRunning) {
      process_.kill();
      process_.waitForFinished(10000);
    }
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  QProcess& process() { return process_; }
  bool running() const { return process_.state() != QProcess::NotRunning; }
  bool endedCleanly() const {
    return process_.state() == QProcess::NotRunning && process_.exitStatus() == QProcess::NormalExit &&
           process_.exitCode() == 0;
  }
  const QByteArray& output() const { return output_; }

 private:
  QProcess process_;
  QByteArray output_;
};

QStringList Arguments(const std::vector<fs::path>& paths) {
  QStringList arguments;
  for (const fs::path& path : paths) arguments << ToQ(path);
  return arguments;
}

// True when a window listens on the user's socket.
bool FirstAnswers() {
  SingleInstance probe(SingleInstance::DefaultSocketPath());
  return probe.ForwardToFirst(std::string());
}

// This test's window, being the first instance.
struct FirstInstance {
  SingleInstance instance{SingleInstance::DefaultSocketPath()};
  MainDialog dialog;

  // False when another instance answered or the socket could not be had.
  bool Start() {
    if (!instance.Lock()) return false;
    if (instance.ForwardToFirst(std::string())) return false;
    if (!instance.Listen()) return false;
    instance.Unlock();
    QObject::connect(&instance, &SingleInstance::commandLineReceived, &dialog,
                     &MainDialog::AddForwardedCommandLine);
    dialog.show();
    return true;
  }
};

}  // namespace

class InstanceTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void cleanupTestCase();
  void cleanup();

  void forwardsWhileIdle();
  void forwardsPathsWithSpaces();
  void secondStartWithoutArguments();
  void forwardedDuringScanIsDropped();
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
  const fs::path a = WriteGood(dir / "a.vlk", 10, 1);
  const fs::path b = WriteGood(dir / "folder" / "b.vkq", 10, 2);
  const fs::path c = WriteGood(dir / "folder" / "c.vqk", 10, 3);
  WriteText(dir / "folder" / "d.txt", "not listed");

  FirstInstance first;
  QVERIFY(first.Start());
  QSignalSpy received(&first.instance, &SingleInstance::commandLineReceived);

  Program second(Arguments({a, dir / "folder"}));
  QTRY_VERIFY_WITH_TIMEOUT(!second.running(), 30000);
  QVERIFY2(second.endedCleanly(), second.output().constData());
  QTRY_COMPARE(received.count(), 1);
  QCOMPARE(received.at(0).at(0).toByteArray(), CommandLineOf({a, dir / "folder"}));
  VELK_SETTLE(first.dialog);
  VELK_EXPECT_IDLE(first.dialog, QStringLiteral("3 files waiting for scanning..."), true);
  QVERIFY((ListedPaths(first.dialog) == std::vector<std::string>{a.string(), b.string(), c.string()}));

  // More from another start: added behind them.
  const fs::path e = WriteGood(dir / "e.vlk", 10, 4);
  Program third(Arguments({e, a}));
  QTRY_VERIFY_WITH_TIMEOUT(!third.running(), 30000);
  QVERIFY2(third.endedCleanly(), third.output().constData());
  QTRY_COMPARE(received.count(), 2);
  VELK_SETTLE(first.dialog);
  VELK_EXPECT_IDLE(first.dialog, QStringLiteral("4 files waiting for scanning..."), true);
}

void InstanceTest::forwardsPathsWithSpaces() {
  ScratchDir dir("app_instance");
  const fs::path spaced = WriteGood(dir / "with space" / "a b.vlk", 10, 1);
  const fs::path upper = WriteGood(dir / "c  d.VKQ", 10, 2);
  const fs::path plain = WriteGood(dir / "plain.vqk", 10, 3);

  FirstInstance first;
  QVERIFY(first.Start());
  QSignalSpy received(&first.instance, &SingleInstance::commandLineReceived);

  Program second(Arguments({spaced, upper, plain}));
  QTRY_VERIFY_WITH_TIMEOUT(!second.running(), 30000);
  QVERIFY2(second.endedCleanly(), second.output().constData());
  QTRY_COMPARE(received.count(), 1);
  // Program name left out, each argument with a space in double quotes.
  QCOMPARE(
      received.at(0).at(0).toByteArray(),
      QByteArray::fromStdString('"' + spaced.string() + "\" \"" + upper.string() + "\" " + plain.string()));
  VELK_SETTLE(first.dialog);
  VELK_EXPECT_IDLE(first.dialog, QStringLiteral("3 files waiting for scanning..."), true);
  QVERIFY((ListedPaths(first.dialog) ==
           std::vector<std::string>{spaced.string(), upper.string(), plain.string()}));
}

void InstanceTest::secondStartWithoutArguments() {
  FirstInstance first;
  QVERIFY(first.Start());
  QSignalSpy received(&first.instance, &SingleInstance::commandLineReceived);

  Program second({});
  QTRY_VERIFY_WITH_TIMEOUT(!second.running(), 30000);
  QVERIFY2(second.endedCleanly(), second.output().constData());
  // Its connection has come and gone without a text: nothing changes.
  QTest::qWait(300);
  QCOMPARE(received.count(), 0);
  VELK_SETTLE(first.dialog);
  VELK_EXPECT_IDLE(first.dialog, kPrompt, false);
}

void InstanceTest::forwardedDuringScanIsDropped() {
  ScratchDir dir("app_instance");
  const LongJob job(master_, dir / "long");
  const fs::path extra = WriteGood(dir / "extra.vlk", 10, 1);

  FirstInstance first;
  QVERIFY(first.Start());
  QSignalSpy received(&first.instance, &SingleInstance::commandLineReceived);
  first.dialog.AddForwardedCommandLine(CommandLineOf({job.directory()}));
  VELK_SETTLE(first.dialog);
  QTest::mouseClick(first.dialog.button(), Qt::LeftButton);
  QCOMPARE(first.dialog.job().idle.load(), 0);

  Program second(Arguments({extra}));
  QTRY_VERIFY_WITH_TIMEOUT(!second.running(), 30000);
  QVERIFY2(second.endedCleanly(), second.output().constData());
  QTRY_COMPARE(received.count(), 1);
  QCOMPARE(first.dialog.job().fileList.count(), 50u);
  QVERIFY2(first.dialog.job().idle.load() == 0, "the job ended before the test was done with it");

  // Not waiting anywhere either: after Stop the list is empty.
  QTest::mouseClick(first.dialog.button(), Qt::LeftButton);
  VELK_SETTLE(first.dialog);
  VELK_EXPECT_IDLE(first.dialog, kPrompt, false);
  QCOMPARE(first.dialog.job().fileList.count(), 0u);
}

void InstanceTest::staleSocketIsReplaced() {
  ScratchDir dir("app_instance");
  const fs::path a = WriteGood(dir / "a.vlk", 10, 1);
  const fs::path socket = SingleInstance::DefaultSocketPath().toStdString();

  // A real window, killed without a chance to clean up.
  {
    Program crashed({});
    QTRY_VERIFY_WITH_TIMEOUT(FirstAnswers(), 30000);
    crashed.process().kill();
    QVERIFY(crashed.process().waitForFinished(10000));
  }
  QVERIFY2(fs::exists(fs::symlink_status(socket)), "the killed window left no socket behind");
  QVERIFY(!FirstAnswers());

  // The next start becomes the first all the same, and takes forwarded starts.
  FirstInstance first;
  QVERIFY(first.Start());
  Program second(Arguments({a}));
  QTRY_VERIFY_WITH_TIMEOUT(!second.running(), 30000);
  QVERIFY2(second.endedCleanly(), second.output().constData());
  QTRY_COMPARE(first.dialog.job().fileList.count(), 1u);
}

void InstanceTest::simultaneousStartsMakeOneFirst() {
  ScratchDir dir("app_instance");
  constexpr int kStarts = 4;
  for (int round = 0; round < 3; ++round) {
    std::vector<std::unique_ptr<Program>> programs;
    for (int i = 0; i < kStarts; ++i) {
      const fs::path file = WriteGood(dir / ("f" + std::to_string(round) + std::to_string(i) + ".vlk"), 5, i);
      programs.push_back(std::make_unique<Program>(Arguments({file})));
    }
    auto finished = [&] {
      int count = 0;
      for (const auto& program : programs) count += program->running() ? 0 : 1;
      return count;
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
        QVERIFY2(program->endedCleanly(), program->output().constData());
      }
    }
    QVERIFY(window != nullptr);
    QVERIFY(FirstAnswers());
    // A termination request closes it cleanly.
    window->process().terminate();
    QTRY_VERIFY_WITH_TIMEOUT(!window->running(), 30000);
    QVERIFY2(window->endedCleanly(), window->output().constData());
    QVERIFY(!FirstAnswers());
  }
}

void InstanceTest::secondStartWaitsForFirstStarting() {
  ScratchDir dir("app_instance");
  const fs::path a = WriteGood(dir / "a.vlk", 10, 1);

  // A first instance that has taken the lock but does not listen yet.
  FirstInstance first;
  QVERIFY(first.instance.Lock());
  Program second(Arguments({a}));
  QTest::qWait(1000);
  QVERIFY2(second.running(), "the second start did not wait for the first");

  QVERIFY(first.instance.Listen());
  first.instance.Unlock();
  QObject::connect(&first.instance, &SingleInstance::commandLineReceived, &first.dialog,
                   &MainDialog::AddForwardedCommandLine);
  QTRY_VERIFY_WITH_TIMEOUT(!second.running(), 30000);
  QVERIFY2(second.endedCleanly(), second.output().constData());
  QTRY_COMPARE(first.dialog.job().fileList.count(), 1u);
}

void InstanceTest::programRunsAtIdlePriority() {
  Program window({});
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
    const long tid = std::stol(task.path().filename().string());
    const long priority = ::syscall(SYS_ioprio_get, IOPRIO_WHO_PROCESS, tid);
    QVERIFY(priority >= 0);
    QCOMPARE(IOPRIO_PRIO_CLASS(priority), long{IOPRIO_CLASS_IDLE});
    ++tasks;
  }
  QVERIFY(tasks > 0);

  window.process().terminate();
  QTRY_VERIFY_WITH_TIMEOUT(!window.running(), 30000);
  QVERIFY2(window.endedCleanly(), window.output().constData());
}

QTEST_MAIN(InstanceTest)
#include "instance_test.moc"

// A second `velkscan` hands every name, made absolute, whatever its bytes, to this test's
// window; a crashed window's socket stops no start; simultaneous starts make one window.
// The checking threads' idle priority, and the window's not lowered: e2e.sh.
#include <memory>

#include "apptest.h"
#include "qt/singleinstance.h"

using namespace velkscan;
using namespace velkscan::apptest;

namespace {

Program Start(const QStringList& arguments, const fs::path& folder = {}) {
  return Program(VELKSCAN_PROGRAM, arguments, folder);
}

bool FirstAnswers() {
  SingleInstance probe(SingleInstance::DefaultSocketPath());
  return probe.ForwardToFirst({});
}

// This test's window as the first instance.
struct FirstInstance {
  SingleInstance instance{SingleInstance::DefaultSocketPath()};
  MainDialog dialog;
  bool Start() {
    if (!instance.Lock() || instance.ForwardToFirst({}) || !instance.Listen()) return false;
    instance.Unlock();
    QObject::connect(&instance, &SingleInstance::pathsReceived, &dialog, &MainDialog::AddForwardedPaths);
    return true;
  }
};

}  // namespace

class InstanceTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void cleanup() { QTRY_VERIFY(!FirstAnswers()); }
  void forwardedNamesArriveWholeAndAbsolute();
  void staleSocketAndSimultaneousStarts();

 private:
  QTemporaryDir runtime_{QStringLiteral("/tmp/velkscan-rt-XXXXXX")};  // a socket path stays short
};

void InstanceTest::initTestCase() {
  // The socket of this test's "user", for this process and the programs it starts.
  QVERIFY(runtime_.isValid());
  qputenv("XDG_RUNTIME_DIR", runtime_.path().toUtf8());
}

void InstanceTest::forwardedNamesArriveWholeAndAbsolute() {
  Scratch dir;
  // The window's folder holds a broken t.vlk; the second start's a good one.
  const fs::path theirs = WriteStream(dir / "a" / "t.vlk", 30, 1, true);
  const QByteArray before = ReadAll(theirs);
  const std::vector<fs::path> named = {WriteStream(dir / "b" / "t.vlk", 30, 2),
                                       WriteStream(dir / "b" / "q" / "my \"best\" song.vlk", 30, 3),
                                       WriteStream(dir / "b" / "with space" / "x  y.vqk", 30, 4),
                                       WriteStream(dir / "abs" / "\"quoted\".vkq", 30, 5)};
  const QString previous = QDir::currentPath();
  QVERIFY(QDir::setCurrent(QString::fromStdString((dir / "a").string())));
  FirstInstance first;
  first.dialog.job().settings.idlePriority = false;
  QVERIFY(first.Start());
  Program second = Start({"t.vlk", "q/my \"best\" song.vlk", "", "./with space/x  y.vqk",
                          QString::fromStdString(named[3].string())},
                         dir / "b");
  QVERIFY2(second.EndsCleanly(), second.output());
  QTRY_COMPARE(first.dialog.job().fileCount(), 4u);
  const std::vector<Text>& listed = first.dialog.job().files().paths;
  for (size_t i = 0; i < named.size(); ++i) QCOMPARE(fs::canonical(listed[i]), fs::canonical(named[i]));
  QTest::mouseClick(first.dialog.button(), Qt::LeftButton);
  VELK_SETTLE(first.dialog);
  QVERIFY(QDir::setCurrent(previous));
  QVERIFY2(ReadAll(theirs) == before, "a file nobody named was changed");
}

void InstanceTest::staleSocketAndSimultaneousStarts() {
  Scratch dir;
  // A runtime folder that is gone: the first start makes it, and every start finds it.
  qputenv("XDG_RUNTIME_DIR", (runtime_.path() + "/gone").toUtf8());
  {
    Program crashed = Start({});
    QTRY_VERIFY_WITH_TIMEOUT(FirstAnswers(), 10000);
    crashed.process().kill();
    QVERIFY(crashed.process().waitForFinished(10000));
  }
  QVERIFY(!FirstAnswers());
  // Starts at once after the crash: one becomes the window, the others hand their names to it and end.
  std::vector<std::unique_ptr<Program>> starts;
  for (int i = 0; i < 3; ++i) {
    const fs::path file = WriteStream(dir / ("f" + std::to_string(i) + ".vlk"), 5, i);
    starts.push_back(std::make_unique<Program>(VELKSCAN_PROGRAM, QStringList{QString::fromStdString(file)}));
  }
  auto ended = [&] {
    return int(std::count_if(starts.begin(), starts.end(), [](auto& s) { return !s->running(); }));
  };
  QTRY_COMPARE_WITH_TIMEOUT(ended(), 2, 15000);
  QTest::qWait(300);
  QCOMPARE(ended(), 2);
  for (const auto& start : starts) {
    if (!start->running()) QCOMPARE(start->process().exitCode(), 0);
    if (start->running()) start->process().terminate();  // closes like its close button
    QVERIFY2(start->EndsCleanly(), start->output());
  }
  qputenv("XDG_RUNTIME_DIR", runtime_.path().toUtf8());
}

QTEST_MAIN(InstanceTest)
#include "instance_test.moc"

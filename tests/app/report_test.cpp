// The window and the terminal program tell the same story: on two copies of
// one generated library, the window's finished report equals
// `velkscan-cli --repair`'s output with "\r\n" as "\n", and both leave the
// same bytes in every file.
#include <QDir>
#include <QProcess>
#include <algorithm>

#include "apptest.h"

using namespace velkscan;
using namespace velkscan::apptest;

namespace {

// Every regular file under root, by path relative to it.
std::vector<fs::path> FilesUnder(const fs::path& root) {
  std::vector<fs::path> files;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) files.push_back(fs::relative(entry.path(), root));
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

class ReportTest : public QObject {
  Q_OBJECT

 private slots:
  void reportEqualsTerminalOutput();
};

void ReportTest::reportEqualsTerminalOutput() {
#ifndef VELKSCAN_CLI
  QSKIP("velkscan-cli is not built here");
#else
  ScratchDir dir("app_report");
  const fs::path windowSide = dir / "window", cliSide = dir / "cli";
  gen::LibraryOptions options;
  options.sizeMb = 4;
  options.seed = 9;
  const std::vector<gen::LibraryFile> library = gen::GenerateLibrary(windowSide / "lib", options);
  QVERIFY(!library.empty());
  // A folder whose name needs quoting on a command line, with a broken file.
  WriteStream(windowSide / "lib" / "with space" / "x y.vlk", 30, 3, Kind::Broken);
  fs::create_directories(cliSide);
  fs::copy(windowSide / "lib", cliSide / "lib", fs::copy_options::recursive);
  const std::vector<fs::path> files = FilesUnder(windowSide);
  QCOMPARE(FilesUnder(cliSide), files);

  // Both name the library by the same relative path, so the reports'
  // paths agree.
  const QString previous = QDir::currentPath();
  QVERIFY(QDir::setCurrent(ToQ(windowSide)));
  MainDialog dialog;
  // Priority is not the point here; at idle priority both would wait for
  // every other test running beside them.
  dialog.job().idlePriority = false;
  VELK_SHOW(dialog);
  dialog.AddForwardedCommandLine("lib \"lib/with space\"");
  VELK_SETTLE(dialog);
  QVERIFY(dialog.button()->isEnabled());
  QTest::mouseClick(dialog.button(), Qt::LeftButton);
  VELK_SETTLE(dialog);
  QVERIFY(QDir::setCurrent(previous));

  QProcess cli;
  cli.setWorkingDirectory(ToQ(cliSide));
  cli.start(QStringLiteral(VELKSCAN_CLI),
            {QStringLiteral("--repair"), QStringLiteral("--priority"), QStringLiteral("normal"),
             QStringLiteral("lib"), QStringLiteral("lib/with space")});
  QVERIFY(cli.waitForFinished(300000));
  QCOMPARE(cli.exitStatus(), QProcess::NormalExit);
  QCOMPARE(cli.exitCode(), 1);  // the library holds broken files
  const QString terminal = QString::fromUtf8(cli.readAllStandardOutput());

  QString report = dialog.reportText();
  QVERIFY(report.contains(QStringLiteral("broken after frame")));
  report.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  QCOMPARE(report, terminal);
  QCOMPARE(dialog.reportBox()->toPlainText(), terminal);

  // Same repairs: every file byte for byte alike.
  for (const fs::path& file : files) {
    QVERIFY2(ReadBytes(windowSide / file) == ReadBytes(cliSide / file), file.c_str());
  }
#endif
}

QTEST_MAIN(ReportTest)
#include "report_test.moc"

// Shared pieces of the window tests: scratch folders, generated files, programs, waiting.
#pragma once

#include <QCoreApplication>
#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <filesystem>
#include <string>
#include <vector>

#include "qt/maindialog.h"
#include "velkgen/generator.h"

namespace velkscan::apptest {

namespace fs = std::filesystem;

// How long a wait for an event may take before it counts as a hang: a busy machine is slow, not hung.
constexpr int kHangMs = 60000;

// A fresh folder under VELKSCAN_TEST_TMP (else the system's), removed after.
struct Scratch {
  QTemporaryDir dir{QDir(qEnvironmentVariable("VELKSCAN_TEST_TMP", QDir::tempPath())).filePath("app-XXXXXX")};
  fs::path path() const { return dir.path().toStdString(); }
  fs::path operator/(const std::string& name) const { return path() / name; }
};

// A stream of `frames` frames, whole or cut short inside its frames (broken: a scan reports and repairs it).
inline fs::path WriteStream(const fs::path& path, uint32_t frames, uint64_t seed, bool broken = false) {
  gen::StreamOptions options;
  options.frameCount = frames, options.seed = seed;
  gen::GeneratedStream stream = gen::GenerateStream(options);
  if (broken) gen::ApplyDamage(stream, gen::DamageKind::Truncate, seed);
  fs::create_directories(path.parent_path());
  gen::WriteFile(path, stream.bytes);
  return path;
}

inline QString Report(MainDialog& dialog) {
  return dialog.reportBox()->toPlainText();
}

inline QByteArray ReadAll(const fs::path& path) {
  QFile file(QString::fromStdString(path.string()));
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A drop of local files delivered as the platform delivers one; true when the window took it.
inline bool Drop(MainDialog& dialog, const QList<QUrl>& urls) {
  QMimeData data;
  data.setUrls(urls);
  const QPoint at(10, 10);
  QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(&dialog, &enter);
  if (!enter.isAccepted()) return false;
  QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(&dialog, &drop);
  return drop.isAccepted();
}
inline bool Drop(MainDialog& dialog, const fs::path& path) {
  return Drop(dialog, {QUrl::fromLocalFile(QString::fromStdString(path.string()))});
}

// A started program, its output gathered as it comes (QTRY_ conditions are
// evaluated again after success: they must not read it).
class Program {
 public:
  Program(const QString& program, const QStringList& arguments, const fs::path& folder = {}) {
    process_.setProcessChannelMode(QProcess::MergedChannels);
    if (!folder.empty()) process_.setWorkingDirectory(QString::fromStdString(folder.string()));
    QObject::connect(&process_, &QProcess::readyRead, [this] { output_ += process_.readAll(); });
    process_.start(program, arguments);
  }
  ~Program() {
    if (running()) process_.kill();
    process_.waitForFinished(10000);
  }
  QProcess& process() { return process_; }
  bool running() const { return process_.state() != QProcess::NotRunning; }
  // Serves events until the program ends; true when it ended with status 0.
  bool EndsCleanly() {
    return QTest::qWaitFor([this] { return !running(); }, kHangMs) &&
           process_.exitStatus() == QProcess::NormalExit && process_.exitCode() == 0;
  }
  const QByteArray& output() const { return output_; }

 private:
  QProcess process_;
  QByteArray output_;
};

}  // namespace velkscan::apptest

// Shows the window and waits until the platform has exposed it.
#define VELK_SHOW(dialog)                             \
  do {                                                \
    (dialog).show();                                  \
    QVERIFY(QTest::qWaitForWindowExposed(&(dialog))); \
  } while (false)

// Waits for the job's end, then for the window to show its last word.
#define VELK_SETTLE(dialog)                                                \
  do {                                                                     \
    QTRY_VERIFY_WITH_TIMEOUT(!(dialog).job().running(), apptest::kHangMs); \
    (dialog).job().WaitForWorker();                                        \
    QTest::qWait(2 * QtDisplay::kRepaintInterval.count());                 \
  } while (false)

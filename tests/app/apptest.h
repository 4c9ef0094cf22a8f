// Shared pieces of the window tests: scratch directories, generated Velk
// files on disk, a job long enough to act on while it runs, and waiting
// for the window to show what the job asked for.
#pragma once

#include <QCoreApplication>
#include <QFile>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QString>
#include <QtTest>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "qt/maindialog.h"
#include "qt/qtdisplay.h"
#include "velkgen/generator.h"

namespace velkscan::apptest {

namespace fs = std::filesystem;
namespace gen = velkscan::gen;

inline const QString kPrompt = QStringLiteral("Drag and drop files/directories you want to scan...");

// A fresh directory named after the prefix and the running test function,
// under VELKSCAN_TEST_TMP (else the system's temporary directory); removed
// afterwards.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& prefix) {
    std::string name = prefix;
    if (const char* function = QTest::currentTestFunction()) name += std::string("_") + function;
    if (const char* tag = QTest::currentDataTag()) name += std::string("_") + tag;
    for (char& c : name) {
      if (c == '/' || c == ' ' || c == ':') c = '_';
    }
    const char* base = std::getenv("VELKSCAN_TEST_TMP");
    path_ = (base != nullptr && *base != '\0' ? fs::path(base) : fs::temp_directory_path()) / name;
    std::error_code ignored;
    fs::remove_all(path_, ignored);
    fs::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const fs::path& path() const { return path_; }
  fs::path operator/(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
};

inline gen::Bytes ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  const std::streamoff size = in ? static_cast<std::streamoff>(in.tellg()) : 0;
  gen::Bytes bytes(size > 0 ? static_cast<size_t>(size) : 0);
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

inline QString ToQ(const fs::path& path) {
  return QFile::decodeName(QByteArray::fromStdString(path.string()));
}

enum class Kind { Good, Broken, Tagged };

// A stream of `frames` frames: whole; cut short inside its frames (broken,
// and repaired by a scan); or whole behind an ID3v2 tag.
inline fs::path WriteStream(const fs::path& path, uint32_t frames, uint64_t seed, Kind kind = Kind::Good) {
  gen::StreamOptions options;
  options.frameCount = frames;
  options.seed = seed;
  if (kind == Kind::Tagged) options.tag = gen::TagKind::Id3v2;
  gen::GeneratedStream stream = gen::GenerateStream(options);
  if (kind == Kind::Broken) gen::ApplyDamage(stream, gen::DamageKind::Truncate, seed);
  fs::create_directories(path.parent_path());
  gen::WriteFile(path, stream.bytes);
  return path;
}

inline fs::path WriteText(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  gen::WriteFile(path, gen::Bytes(text.begin(), text.end()));
  return path;
}

// Arguments joined the way a second start forwards them.
inline QByteArray CommandLineOf(const std::vector<fs::path>& paths) {
  QByteArray line;
  for (const fs::path& path : paths) {
    if (!line.isEmpty()) line += ' ';
    const QByteArray bytes = QByteArray::fromStdString(path.string());
    line += bytes.contains(' ') ? '"' + bytes + '"' : bytes;
  }
  return line;
}

inline std::vector<std::string> Strings(const std::vector<fs::path>& paths) {
  return std::vector<std::string>(paths.begin(), paths.end());
}

inline std::vector<std::string> ListedPaths(MainDialog& dialog) {
  return std::vector<std::string>(dialog.job().files().paths.begin(), dialog.job().files().paths.end());
}

// A job that runs long enough to act on while it scans: one generated file
// of many frames under many names (hard links: one file on disk, each name
// a file of its own for the list). A test checks that the job still runs
// after acting, so a machine fast enough to finish first fails loudly
// instead of testing nothing.
class LongJob {
 public:
  static constexpr uint32_t kFrames = 20000;  // about 15 MB
  static constexpr int kNames = 50;

  // The one file behind every name; written once per test program.
  static void WriteMaster(const fs::path& path) { WriteStream(path, kFrames, 7); }

  LongJob(const fs::path& master, const fs::path& directory) : directory_(directory) {
    fs::create_directories(directory_);
    for (int i = 0; i < kNames; ++i) fs::create_hard_link(master, file(i));
  }

  const fs::path& directory() const { return directory_; }
  fs::path file(int i) const { return directory_ / ("long-" + std::to_string(100 + i).substr(1) + ".vlk"); }

 private:
  fs::path directory_;
};

// Per-thread figures of a process from /proc: field 19 (nice) and field 41
// (scheduling policy) of each task's stat line.
struct ThreadFigures {
  int nice = 0;
  int policy = 0;
};

inline std::vector<ThreadFigures> ThreadsOf(const std::string& pid) {
  std::vector<ThreadFigures> threads;
  std::error_code error;
  for (const fs::directory_entry& task : fs::directory_iterator("/proc/" + pid + "/task", error)) {
    std::ifstream in(task.path() / "stat");
    std::string line((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The thread's name may hold spaces and parentheses: fields start
    // after the last ')'.
    const std::size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(line.substr(close + 1));
    std::vector<std::string> values{std::istream_iterator<std::string>(fields),
                                    std::istream_iterator<std::string>()};
    if (values.size() < 39) continue;  // values[0] is field 3
    threads.push_back(ThreadFigures{std::stoi(values[19 - 3]), std::stoi(values[41 - 3])});
  }
  return threads;
}

}  // namespace velkscan::apptest

// Shows the window and waits until the platform has exposed it.
#define VELK_SHOW(dialog)                             \
  do {                                                \
    (dialog).show();                                  \
    QVERIFY(QTest::qWaitForWindowExposed(&(dialog))); \
  } while (false)

// Waits until the job is idle and its worker has ended, then carries out
// every display change still on its way, so the window shows the job's
// final word.
#define VELK_SETTLE(dialog)                                      \
  do {                                                           \
    QTRY_VERIFY_WITH_TIMEOUT(!(dialog).job().running(), 120000); \
    (dialog).job().WaitForWorker();                              \
    QCoreApplication::sendPostedEvents();                        \
  } while (false)

// Settles, then checks the display of an idle window: button, its state,
// the report box.
#define VELK_EXPECT_IDLE(dialog, boxText, buttonEnabled)             \
  do {                                                               \
    VELK_SETTLE(dialog);                                             \
    QCOMPARE((dialog).button()->text(), QStringLiteral("Scan"));     \
    QCOMPARE((dialog).button()->isEnabled(), (buttonEnabled));       \
    QVERIFY((dialog).acceptDrops());                                 \
    QCOMPARE((dialog).progressBar()->value(), 0);                    \
    QCOMPARE((dialog).reportBox()->toPlainText(), QString(boxText)); \
  } while (false)

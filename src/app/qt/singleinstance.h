// One window per user: a second start hands its command line to the
// running window and ends.
//
// The running window listens on a local socket of the user's own; a second
// start connects to it, writes its arguments, each made absolute from its
// own working folder and ended by a zero byte, then one more zero byte, and
// closes. There is no reply. A file name holds any byte but zero, so every
// name arrives as the shell passed it.
//
// A lock file is held around the decision (connect, or else take the
// socket), so two starts at the same moment cannot both become the first.
// The first takes the socket before Qt starts (a plain bind and listen,
// which take microseconds) and lets go of the lock at once; a start that
// comes while the first is still setting up its window connects all the
// same, and its text waits in the socket until the window reads it. A
// socket left behind by a crashed instance takes no connection: the next
// start removes it, under the lock, and becomes the first.
//
// Order of use in main():
//   SingleInstance instance(SingleInstance::DefaultSocketPath());
//   instance.Lock();
//   if (instance.ForwardToFirst(arguments)) return 0;  // a second start
//   instance.Claim();  instance.Unlock();
//   QApplication app(...);  instance.Listen();
// Everything before Listen runs without an event loop (blocking waits), so
// a second start needs neither Qt's set-up nor a display.
#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QHash>
#include <QObject>
#include <QString>
#include <chrono>
#include <string>
#include <vector>

class QLocalServer;
class QLocalSocket;

namespace velkscan {

// The program's arguments (argv[1] on), a relative one joined to the working
// folder: the running window has a working folder of its own. Empty
// arguments name nothing and are left out.
std::vector<std::string> AbsoluteArguments(int argc, char** argv);

class SingleInstance : public QObject {
  Q_OBJECT

 public:
  // How long a start waits for another start's decision, and for the first
  // instance to take its connection and its text.
  static constexpr std::chrono::milliseconds kLockWait{5000};
  static constexpr std::chrono::milliseconds kConnectWait{2000};
  // A forwarded message longer than this is not taken.
  static constexpr qsizetype kMaxMessageBytes = 16 * 1024 * 1024;

  explicit SingleInstance(QString socketPath, QObject* parent = nullptr);
  ~SingleInstance() override;
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // "velkscan-<uid>" in $XDG_RUNTIME_DIR (the user's private directory),
  // or in the temporary directory when there is none.
  static QString DefaultSocketPath();
  const QString& socketPath() const { return socketPath_; }
  QString lockPath() const { return socketPath_ + QStringLiteral(".lock"); }

  // Takes the lock file, waiting up to `wait` while another start holds it.
  // False when it could not be had; the start then goes on without it.
  bool Lock(std::chrono::milliseconds wait = kLockWait);
  void Unlock();

  // When a first instance listens: hands it the arguments (nothing when
  // there are none) and returns true, whether or not it took them. False
  // when none answers: this start is the first.
  bool ForwardToFirst(const std::vector<std::string>& arguments);

  // Takes the socket as the first instance (call it under the lock, after
  // ForwardToFirst found nobody): a leftover socket file is replaced (only
  // under the lock), and starts that connect from now on wait in its queue.
  // False when the socket cannot be had; the window then runs alone,
  // without forwarded starts.
  bool Claim();
  // Serves the claimed socket (claiming it first if need be). Needs the
  // QCoreApplication.
  bool Listen();
  bool listening() const;

 signals:
  // A second start's arguments, once its message is complete.
  void pathsReceived(const QByteArrayList& paths);

 private:
  void TakeConnections();
  void ReadFrom(QLocalSocket* socket);

  QString socketPath_;
  int lockFd_ = -1;
  int listenFd_ = -1;  // claimed, not yet handed to the server
  QLocalServer* server_ = nullptr;
  // Text received so far on each connection not yet complete.
  QHash<QLocalSocket*, QByteArray> pending_;
};

}  // namespace velkscan

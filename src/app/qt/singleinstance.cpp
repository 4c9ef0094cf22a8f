#include "qt/singleinstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>

#include "scan/commandline.h"

namespace velkscan {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kLockRetry{20};

int Remaining(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

std::vector<std::string> AbsoluteArguments(int argc, char** argv) {
  std::string folder;
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument(argv[i]);
    if (argument.empty()) continue;
    if (argument.front() == '/') {
      arguments.emplace_back(argument);
      continue;
    }
    if (folder.empty()) {
      // The folder as the system names it (not $PWD, which may be stale).
      std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
      // No working folder (it was removed): the name stays as given.
      folder = cwd != nullptr ? std::string(cwd.get()) : std::string();
      if (!folder.empty() && folder.back() != '/') folder += '/';
    }
    arguments.push_back(folder + std::string(argument));
  }
  return arguments;
}

SingleInstance::SingleInstance(QString socketPath, QObject* parent)
    : QObject(parent), socketPath_(std::move(socketPath)) {}

SingleInstance::~SingleInstance() {
  // The server removes its socket file as it closes; a socket claimed but
  // never served is removed here.
  delete server_;
  server_ = nullptr;
  if (listenFd_ >= 0) {
    ::close(listenFd_);
    ::unlink(QFile::encodeName(socketPath_).constData());
  }
  Unlock();
}

QString SingleInstance::DefaultSocketPath() {
  QString directory = qEnvironmentVariable("XDG_RUNTIME_DIR");
  // The application creates a runtime folder that is missing as it starts;
  // made here first, every start agrees on where the socket is.
  if (!directory.isEmpty()) QDir().mkdir(directory, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  if (!QFileInfo(directory).isDir()) directory = QDir::tempPath();
  return QDir(directory).filePath(QStringLiteral("velkscan-%1").arg(::getuid()));
}

bool SingleInstance::Lock(std::chrono::milliseconds wait) {
  if (lockFd_ >= 0) return true;
  // The file stays; only the lock on it comes and goes, and the system
  // drops that lock when its holder dies.
  const QByteArray path = QFile::encodeName(lockPath());
  const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  const Clock::time_point deadline = Clock::now() + wait;
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      lockFd_ = fd;
      return true;
    }
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK || Clock::now() >= deadline) {
      ::close(fd);
      return false;
    }
    std::this_thread::sleep_for(kLockRetry);
  }
}

void SingleInstance::Unlock() {
  if (lockFd_ < 0) return;
  ::flock(lockFd_, LOCK_UN);
  ::close(lockFd_);
  lockFd_ = -1;
}

bool SingleInstance::ForwardToFirst(const std::vector<std::string>& arguments) {
  // Blocking waits only: there is no event loop yet, and a second start
  // never gets one.
  QLocalSocket socket;
  socket.connectToServer(socketPath_);
  if (!socket.waitForConnected(static_cast<int>(kConnectWait.count()))) return false;
  if (!arguments.empty()) {
    const std::string message = EncodeForwardedNames(arguments);
    socket.write(message.data(), static_cast<qint64>(message.size()));
    const Clock::time_point deadline = Clock::now() + kConnectWait;
    while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(Remaining(deadline))) {
    }
  }
  socket.disconnectFromServer();
  if (socket.state() != QLocalSocket::UnconnectedState) {
    socket.waitForDisconnected(static_cast<int>(kConnectWait.count()));
  }
  return true;
}

bool SingleInstance::Claim() {
  if (listenFd_ >= 0 || listening()) return true;
  const QByteArray path = QFile::encodeName(socketPath_);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.isEmpty() || static_cast<std::size_t>(path.size()) >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.constData(), static_cast<std::size_t>(path.size()));
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  // Nobody answered on it (ForwardToFirst came first) and the lock keeps
  // other starts out meanwhile: a crashed instance's leftover, if anything.
  // Without the lock another start may have just bound it; then bind fails
  // and this window runs alone rather than take that one's socket away.
  if (lockFd_ >= 0) ::unlink(path.constData());
  // The socket file for this user alone, also in a shared temporary
  // directory. Qt has started no thread yet, so the process-wide mask is
  // ours to change for a moment.
  const mode_t mask = ::umask(0077);
  const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::umask(mask);
  if (!bound || ::listen(fd, SOMAXCONN) != 0) {
    ::close(fd);
    return false;
  }
  listenFd_ = fd;
  return true;
}

bool SingleInstance::Listen() {
  if (listening()) return true;
  if (listenFd_ < 0 && !Claim()) return false;
  if (server_ == nullptr) {
    server_ = new QLocalServer(this);
    connect(server_, &QLocalServer::newConnection, this, &SingleInstance::TakeConnections);
  }
  // The server takes the socket over, and removes its file when it closes.
  if (!server_->listen(listenFd_)) return false;
  listenFd_ = -1;
  return true;
}

bool SingleInstance::listening() const {
  return server_ != nullptr && server_->isListening();
}

void SingleInstance::TakeConnections() {
  while (QLocalSocket* socket = server_->nextPendingConnection()) {
    pending_.insert(socket, QByteArray());
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] { ReadFrom(socket); });
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QObject::destroyed, this, [this, socket] { pending_.remove(socket); });
    // Text written before the connection was taken is already waiting.
    ReadFrom(socket);
  }
}

void SingleInstance::ReadFrom(QLocalSocket* socket) {
  // Each connection carries one message (EncodeForwardedNames). A
  // connection that closes before its end (a start that died) gives nothing.
  auto found = pending_.find(socket);
  if (found == pending_.end()) return;
  QByteArray& buffer = found.value();
  buffer.append(socket->readAll());
  const std::optional<std::vector<std::string>> names =
      DecodeForwardedNames(std::string_view(buffer.constData(), static_cast<std::size_t>(buffer.size())));
  if (!names && buffer.size() <= kMaxMessageBytes) return;
  pending_.erase(found);
  socket->disconnect(this);
  socket->abort();
  if (!names) return;
  QByteArrayList paths;
  for (const std::string& name : *names)
    paths.append(QByteArray(name.data(), static_cast<qsizetype>(name.size())));
  emit pathsReceived(paths);
}

}  // namespace velkscan

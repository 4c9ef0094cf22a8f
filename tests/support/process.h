// Running a real program: arguments in; standard output, standard error and exit status out. Either stream
// may be a pseudo-terminal, standard output a pipe whose reader is gone; signals can be sent while it runs.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace velkscan::test {

struct ProcessResult {
  std::string out, err;
  int status = -1;  // the exit status, or 128 + the signal that ended it
};

struct ProcessOptions {
  bool stdoutTerminal = false, stderrTerminal = false, closedStdout = false;
  // Runs the program through this command (its first word a full path),
  // e.g. setpriv to run it as another user.
  std::vector<std::string> prefix{};
  std::vector<std::pair<std::string, std::string>> env{};  // set in the child
  std::string cwd{};                                       // the child's working directory
};

class Process {
 public:
  Process(const std::string& program, const std::vector<std::string>& args,
          const ProcessOptions& options = {}) {
    int ends[2][2];  // [stream][read, write]: the parent reads, the child writes
    for (int i = 0; i < 2; ++i) {
      const bool terminal = i == 0 ? options.stdoutTerminal : options.stderrTerminal;
      if ((terminal ? openpty(&ends[i][0], &ends[i][1], nullptr, nullptr, nullptr) : pipe(ends[i])) != 0)
        return;
    }
    if (options.closedStdout) close(ends[0][0]), ends[0][0] = -1;  // no reader from the first write on
    pid_ = fork();
    if (pid_ == 0) {
      dup2(ends[0][1], STDOUT_FILENO);
      dup2(ends[1][1], STDERR_FILENO);
      dup2(open("/dev/null", O_RDONLY), STDIN_FILENO);
      for (const auto& [name, value] : options.env) setenv(name.c_str(), value.c_str(), 1);
      if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(127);
      std::vector<char*> argv;
      for (const std::string& word : options.prefix) argv.push_back(const_cast<char*>(word.c_str()));
      argv.push_back(const_cast<char*>(program.c_str()));
      for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      for (int fd = 3; fd < 256; ++fd) close(fd);
      execv(argv[0], argv.data());
      _exit(127);
    }
    for (int i = 0; i < 2; ++i) {
      close(ends[i][1]);
      fds_[i] = ends[i][0];
    }
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process() {
    if (pid_ > 0 && !waited_) Wait();
  }

  pid_t pid() const { return pid_; }
  void Signal(int signal) { kill(pid_, signal); }

  // Reads standard output up to the first line end, or the nth (it is kept for Wait).
  std::string ReadFirstLine(size_t lines = 1) {
    ReadLines(lines);
    return result_.out.substr(0, result_.out.find('\n'));
  }

  // Reads standard output until it holds n lines (kept for Wait); false when it ends before.
  bool ReadLines(std::size_t n) {
    while (static_cast<std::size_t>(std::count(result_.out.begin(), result_.out.end(), '\n')) < n)
      if (!ReadSome(0, result_.out)) return false;
    return true;
  }

  ProcessResult Wait() {
    waited_ = true;
    std::string* sinks[2] = {&result_.out, &result_.err};
    for (;;) {
      pollfd fds[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
      if (fds_[0] < 0 && fds_[1] < 0) break;
      if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
      for (int i = 0; i < 2; ++i) {
        if (fds_[i] >= 0 && fds[i].revents != 0) ReadSome(i, *sinks[i]);
      }
    }
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    result_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result_;
  }

 private:
  // False at the end (or EIO from a pseudo-terminal without a writer).
  bool ReadSome(int i, std::string& sink) {
    char buffer[65536];
    const ssize_t n = read(fds_[i], buffer, sizeof buffer);
    if (n > 0) sink.append(buffer, static_cast<size_t>(n));
    if (n > 0 || (n < 0 && errno == EINTR)) return true;
    close(fds_[i]);
    fds_[i] = -1;
    return false;
  }

  pid_t pid_ = -1;
  int fds_[2] = {-1, -1};
  bool waited_ = false;
  ProcessResult result_;
};

inline ProcessResult Run(const std::string& program, const std::vector<std::string>& args,
                         const ProcessOptions& options = {}) {
  Process process(program, args, options);
  return process.Wait();
}

#ifdef VELKSCAN_FAILIO
// failio preloaded with a fault such as "VELKSCAN_FAIL_READ=x.vlk:300".
inline ProcessOptions FailIo(const std::string& fault) {
  const size_t at = fault.find('=');
  return {.env = {{"LD_PRELOAD", VELKSCAN_FAILIO},
                  {fault.substr(0, at), fault.substr(at + 1)},
                  {"ASAN_OPTIONS", "verify_asan_link_order=0"}}};
}
#endif

}  // namespace velkscan::test

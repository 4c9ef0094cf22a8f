// Running the real velkscan-cli: arguments in, standard output, standard
// error and exit status out, with standard error on a pseudo-terminal when
// asked, and signals sent while it runs.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace velkscan::test {

struct CliResult {
  std::string out;
  std::string err;
  int status = -1;  // the exit status, or 128 + the signal that ended it
};

struct CliOptions {
  bool stderrTerminal = false;  // standard error on a pseudo-terminal
  bool closedStdout = false;    // standard output a pipe whose reader is gone
  // Runs the program through this command (its first word a full path),
  // e.g. setpriv to run it as another user.
  std::vector<std::string> prefix;
};

class CliProcess {
 public:
  CliProcess(const std::vector<std::string>& args, const CliOptions& options = {}) {
    int out[2];
    int err[2] = {-1, -1};
    if (pipe(out) != 0) return;
    int terminal = -1;
    if (options.stderrTerminal) {
      if (openpty(&errFd_, &terminal, nullptr, nullptr, nullptr) != 0) return;
    } else if (pipe(err) != 0) {
      return;
    }
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      dup2(options.stderrTerminal ? terminal : err[1], STDERR_FILENO);
      const int null = open("/dev/null", O_RDONLY);
      dup2(null, STDIN_FILENO);
      std::vector<char*> argv;
      for (const std::string& word : options.prefix) argv.push_back(const_cast<char*>(word.c_str()));
      argv.push_back(const_cast<char*>(VELKSCAN_CLI));
      for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      for (int fd = 3; fd < 256; ++fd) close(fd);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    outFd_ = out[0];
    if (options.closedStdout) {
      close(outFd_);
      outFd_ = -1;
    }
    if (options.stderrTerminal) {
      close(terminal);
    } else {
      close(err[1]);
      errFd_ = err[0];
    }
  }
  CliProcess(const CliProcess&) = delete;
  CliProcess& operator=(const CliProcess&) = delete;
  ~CliProcess() {
    if (pid_ > 0 && !waited_) Wait();
  }

  pid_t pid() const { return pid_; }
  void Signal(int signal) { kill(pid_, signal); }

  // Reads standard output up to the first line end (it is kept for Wait).
  std::string ReadFirstLine() {
    while (result_.out.find('\n') == std::string::npos) {
      char buffer[4096];
      const ssize_t n = read(outFd_, buffer, sizeof buffer);
      if (n <= 0) break;
      result_.out.append(buffer, static_cast<size_t>(n));
    }
    return result_.out.substr(0, result_.out.find('\n'));
  }

  CliResult Wait() {
    waited_ = true;
    pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    std::string* sinks[2] = {&result_.out, &result_.err};
    for (;;) {
      int open = 0;
      for (const pollfd& fd : fds) open += fd.fd >= 0 ? 1 : 0;
      if (open == 0) break;
      if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
      for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) continue;
        char buffer[65536];
        const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
        if (n > 0) {
          sinks[i]->append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
          close(fds[i].fd);  // end of file, or EIO from a pseudo-terminal without a writer
          fds[i].fd = -1;
        }
      }
    }
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    result_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result_;
  }

 private:
  pid_t pid_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  bool waited_ = false;
  CliResult result_;
};

inline CliResult RunCli(const std::vector<std::string>& args, const CliOptions& options = {}) {
  CliProcess process(args, options);
  return process.Wait();
}

}  // namespace velkscan::test

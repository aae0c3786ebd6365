#include "qm_pty.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace qmtest {
namespace {

using Clock = std::chrono::steady_clock;

// Forks a child with the terminal on descriptors 0 and 1 and a pipe on 2;
// the child runs `child` and never returns.
pid_t spawnOnPty(const std::function<void()>& child, int* masterFd, int* errFd) {
  termios raw{};
  cfmakeraw(&raw);
  int master, slave;
  if (openpty(&master, &slave, nullptr, &raw, nullptr) != 0)
    throw std::runtime_error("openpty failed");
  int err[2];
  if (pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    setsid();
    ioctl(slave, TIOCSCTTY, 0);
    dup2(slave, 0);
    dup2(slave, 1);
    dup2(err[1], 2);
    close(master);
    if (slave > 2) close(slave);
    child();
    _exit(127);
  }
  close(slave);
  close(err[1]);
  fcntl(master, F_SETFD, FD_CLOEXEC);
  *masterFd = master;
  *errFd = err[0];
  return pid;
}

PtyResult collect(pid_t pid, int masterFd, int errFd, std::chrono::milliseconds timeout) {
  PtyResult result;
  auto deadline = Clock::now() + timeout;
  int status = 0;
  bool reaped = false;
  while (masterFd >= 0 || errFd >= 0) {
    pollfd fds[2];
    int n = 0;
    if (masterFd >= 0) fds[n++] = {masterFd, POLLIN, 0};
    if (errFd >= 0) fds[n++] = {errFd, POLLIN, 0};
    if (poll(fds, n, 20) > 0) {
      for (int i = 0; i < n; ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char buffer[65536];
        ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
        bool isTerminal = fds[i].fd == masterFd;
        if (got > 0) {
          (isTerminal ? result.terminal : result.err).append(buffer, static_cast<size_t>(got));
        } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
          // The master reads EIO once every slave descriptor is closed.
          close(fds[i].fd);
          (isTerminal ? masterFd : errFd) = -1;
        }
      }
    }
    if (!reaped && waitpid(pid, &status, WNOHANG) == pid) reaped = true;
    if (!reaped && Clock::now() > deadline) {
      result.timedOut = true;
      kill(-pid, SIGKILL);
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      reaped = true;
      break;
    }
  }
  if (masterFd >= 0) close(masterFd);
  if (errFd >= 0) close(errFd);
  if (!reaped) waitpid(pid, &status, 0);
  if (WIFEXITED(status)) {
    result.exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.exitCode = -1;
    result.signal = WTERMSIG(status);
  }
  return result;
}

}  // namespace

PtyResult runOnPty(const std::vector<std::string>& argv, const RunOptions& options) {
  std::vector<std::string> args = argv;
  int masterFd, errFd;
  pid_t pid = spawnOnPty(
      [&] {
        for (const auto& name : options.unsetEnv) unsetenv(name.c_str());
        for (const auto& [name, value] : options.env) setenv(name.c_str(), value.c_str(), 1);
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
        std::vector<char*> cargs;
        for (auto& a : args) cargs.push_back(a.data());
        cargs.push_back(nullptr);
        execvp(cargs[0], cargs.data());
        std::fprintf(stderr, "exec %s: %s\n", cargs[0], std::strerror(errno));
        _exit(127);
      },
      &masterFd, &errFd);
  return collect(pid, masterFd, errFd, options.timeout);
}

PtyResult runOnPty(const std::function<int()>& body, std::chrono::milliseconds timeout) {
  int masterFd, errFd;
  pid_t pid = spawnOnPty(
      [&] {
        int code = body();
        std::fflush(stdout);
        std::fflush(stderr);
        _exit(code);
      },
      &masterFd, &errFd);
  return collect(pid, masterFd, errFd, timeout);
}

}  // namespace qmtest

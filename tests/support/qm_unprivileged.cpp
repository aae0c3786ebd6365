#include "qm_unprivileged.h"

#include <grp.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

namespace qmtest {

bool canDropPrivileges() { return geteuid() == 0; }

ChildResult runUnprivileged(const std::function<int()>& body, unsigned uid, unsigned gid) {
  int out[2], err[2];
  if (pipe(out) != 0 || pipe(err) != 0) throw std::runtime_error("pipe failed");
  std::fflush(stdout);
  std::fflush(stderr);
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    close(out[0]);
    close(err[0]);
    if (geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0))
      _exit(125);
    int rc = body();
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(rc);
  }
  close(out[1]);
  close(err[1]);
  ChildResult result;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open = 2;
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) break;
    for (auto& fd : fds) {
      if (fd.fd < 0 || !(fd.revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[4096];
      ssize_t got = read(fd.fd, buffer, sizeof buffer);
      if (got > 0) {
        (fd.fd == out[0] ? result.out : result.err).append(buffer, static_cast<size_t>(got));
      } else {
        close(fd.fd);
        fd.fd = -1;
        --open;
      }
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace qmtest

#include "qm_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace qmtest {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> fullArgv(const std::vector<std::string>& argv,
                                  const RunOptions& options) {
  if (options.netns.empty()) return argv;
  std::vector<std::string> full{"ip", "netns", "exec", options.netns};
  full.insert(full.end(), argv.begin(), argv.end());
  return full;
}

// Forks and execs; the child's standard streams are pipes returned through
// the out-parameters (the stdin pipe is written and closed by the caller).
int spawn(const std::vector<std::string>& argv, const RunOptions& options,
          int* inFd, int* outFd, int* errFd) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
    throw std::runtime_error("pipe failed");
  std::vector<std::string> args = fullArgv(argv, options);
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    setpgid(0, 0);
    for (const auto& name : options.unsetEnv) unsetenv(name.c_str());
    for (const auto& [name, value] : options.env) setenv(name.c_str(), value.c_str(), 1);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    std::vector<char*> cargs;
    for (auto& a : args) cargs.push_back(a.data());
    cargs.push_back(nullptr);
    execvp(cargs[0], cargs.data());
    std::fprintf(stderr, "exec %s: %s\n", cargs[0], std::strerror(errno));
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  *inFd = in[1];
  *outFd = out[0];
  *errFd = err[0];
  return pid;
}

// Reads what is available on the two descriptors into the strings; closes
// and clears a descriptor at end of file.
void drain(int* outFd, int* errFd, std::string& out, std::string& err, int waitMs) {
  pollfd fds[2];
  int n = 0;
  if (*outFd >= 0) fds[n++] = {*outFd, POLLIN, 0};
  if (*errFd >= 0) fds[n++] = {*errFd, POLLIN, 0};
  if (n == 0) return;
  if (poll(fds, n, waitMs) <= 0) return;
  for (int i = 0; i < n; ++i) {
    if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    char buffer[65536];
    ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
    bool isOut = fds[i].fd == *outFd;
    if (got > 0) {
      (isOut ? out : err).append(buffer, static_cast<size_t>(got));
    } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
      close(fds[i].fd);
      (isOut ? *outFd : *errFd) = -1;
    }
  }
}

void decodeStatus(int status, int& exitCode, int& signal) {
  if (WIFEXITED(status)) {
    exitCode = WEXITSTATUS(status);
    signal = 0;
  } else if (WIFSIGNALED(status)) {
    exitCode = -1;
    signal = WTERMSIG(status);
  }
}

}  // namespace

std::string binPath(const std::string& program) {
  return std::string(QM_BIN_DIR) + "/" + program;
}

RunResult run(const std::vector<std::string>& argv, const RunOptions& options) {
  RunResult result;
  int inFd, outFd, errFd;
  pid_t pid = spawn(argv, options, &inFd, &outFd, &errFd);
  if (!options.stdinData.empty()) {
    signal(SIGPIPE, SIG_IGN);
    ssize_t ignored = write(inFd, options.stdinData.data(), options.stdinData.size());
    (void)ignored;
  }
  close(inFd);
  auto deadline = Clock::now() + options.timeout;
  int status = 0;
  bool reaped = false;
  Clock::time_point reapedAt;
  while (outFd >= 0 || errFd >= 0 || !reaped) {
    drain(&outFd, &errFd, result.out, result.err, 20);
    if (!reaped && waitpid(pid, &status, WNOHANG) == pid) {
      reaped = true;
      reapedAt = Clock::now();
    }
    if (!reaped && Clock::now() > deadline) {
      result.timedOut = true;
      kill(-pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    // A grandchild may hold the pipes open; once the child is gone, read
    // for a moment longer and stop.
    if (reaped && Clock::now() - reapedAt > std::chrono::milliseconds(500)) break;
  }
  if (outFd >= 0) close(outFd);
  if (errFd >= 0) close(errFd);
  decodeStatus(status, result.exitCode, result.signal);
  return result;
}

Background::Background(const std::vector<std::string>& argv, const RunOptions& options) {
  int inFd;
  pid_ = spawn(argv, options, &inFd, &outFd_, &errFd_);
  close(inFd);
}

Background::~Background() { stop(std::chrono::seconds(3)); }

void Background::pump(std::chrono::milliseconds wait) {
  drain(&outFd_, &errFd_, out_, err_, static_cast<int>(wait.count()));
  if (!exited_ && pid_ > 0) {
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      exited_ = true;
      int sig;
      decodeStatus(status, status_, sig);
    }
  }
}

std::string Background::waitForLine(const std::string& text,
                                    std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  size_t searched = 0;
  while (true) {
    size_t at = out_.find(text, searched > text.size() ? searched - text.size() : 0);
    if (at != std::string::npos) {
      size_t begin = out_.rfind('\n', at);
      begin = begin == std::string::npos ? 0 : begin + 1;
      size_t end = out_.find('\n', at);
      if (end != std::string::npos) return out_.substr(begin, end - begin);
    }
    searched = out_.size();
    if (Clock::now() > deadline || (exited_ && outFd_ < 0)) return "";
    pump(std::chrono::milliseconds(20));
  }
}

std::string Background::output() {
  pump(std::chrono::milliseconds(0));
  return out_;
}

std::string Background::errors() {
  pump(std::chrono::milliseconds(0));
  return err_;
}

bool Background::running() {
  pump(std::chrono::milliseconds(0));
  return !exited_;
}

int Background::stop(std::chrono::milliseconds grace) {
  if (pid_ <= 0) return status_;
  if (!exited_) {
    kill(-pid_, SIGTERM);
    auto deadline = Clock::now() + grace;
    while (!exited_ && Clock::now() < deadline) pump(std::chrono::milliseconds(20));
    if (!exited_) {
      kill(-pid_, SIGKILL);
      int status;
      waitpid(pid_, &status, 0);
      int sig;
      decodeStatus(status, status_, sig);
      exited_ = true;
    }
  }
  pump(std::chrono::milliseconds(0));
  if (outFd_ >= 0) close(outFd_);
  if (errFd_ >= 0) close(errFd_);
  outFd_ = errFd_ = -1;
  pid_ = -1;
  return status_;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "qmtest-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Tests may leave read-only directories behind; make them removable.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored))
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream data;
  data << in.rdbuf();
  return data.str();
}

void writeFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

}  // namespace qmtest

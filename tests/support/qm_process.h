// Running the built programs from tests: one-shot runs with captured output,
// and background processes (emulators) whose output is read as it comes.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace qmtest {

// Path of a program built by this tree ("Updater", "quillomat-sim", ...).
std::string binPath(const std::string& program);

struct RunOptions {
  std::map<std::string, std::string> env;  // added to (or replacing in) the environment
  std::vector<std::string> unsetEnv;
  std::string cwd;
  std::string stdinData;
  std::string netns;  // run inside this named network namespace (ip netns exec)
  std::chrono::milliseconds timeout{std::chrono::seconds(60)};
};

struct RunResult {
  int exitCode = -1;   // exit status, or -1 when killed by a signal
  int signal = 0;      // the signal that ended it, 0 if it exited
  bool timedOut = false;
  std::string out;
  std::string err;
};

// Runs argv[0] with the given arguments and waits for it to finish.
RunResult run(const std::vector<std::string>& argv, const RunOptions& options = {});

// A program that keeps running beside the test; killed (SIGTERM, then
// SIGKILL) when the object goes away.
class Background {
 public:
  Background(const std::vector<std::string>& argv, const RunOptions& options = {});
  ~Background();
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  // Waits until the program's standard output holds a line containing
  // `text`; returns that line, or "" after the time-out or when it ended.
  std::string waitForLine(const std::string& text,
                          std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Everything read so far from standard output and standard error.
  std::string output();
  std::string errors();
  bool running();
  // Sends SIGTERM and waits for the exit status (-1 for a signal).
  int stop(std::chrono::milliseconds grace = std::chrono::seconds(5));
  int pid() const { return pid_; }

 private:
  void pump(std::chrono::milliseconds wait);
  int pid_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  int status_ = -1;
  bool exited_ = false;
  std::string out_;
  std::string err_;
};

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& data);

}  // namespace qmtest

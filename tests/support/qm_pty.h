// Running code with its standard output on a real pseudo-terminal, for
// output that is only drawn when it goes to a terminal (progress bars,
// spinners). The terminal is in raw mode, so bytes arrive exactly as written.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "qm_process.h"

namespace qmtest {

struct PtyResult {
  int exitCode = -1;  // exit status, or -1 when killed by a signal
  int signal = 0;
  bool timedOut = false;
  std::string terminal;  // everything written to the terminal (stdout)
  std::string err;       // standard error, which goes to a pipe
};

// Runs argv[0] with standard input and output on the terminal.
// RunOptions::netns and stdinData are not supported here.
PtyResult runOnPty(const std::vector<std::string>& argv, const RunOptions& options = {});

// Runs `body` in a forked child whose standard input and output are the
// terminal; its return value is the child's exit status.
PtyResult runOnPty(const std::function<int()>& body,
                   std::chrono::milliseconds timeout = std::chrono::seconds(60));

}  // namespace qmtest

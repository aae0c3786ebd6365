// Running a piece of a test as an unprivileged user. Tests run as root, for
// whom permission checks never fail; a forked child that gives up root
// (uid/gid 65534 unless told otherwise) sees "permission denied" like any
// user would.
#pragma once

#include <functional>
#include <string>

namespace qmtest {

struct ChildResult {
  int exitCode = -1;  // the body's result, or -1 when the child died
  std::string out;    // what the body wrote to standard output
  std::string err;    // and to standard error
};

// Forks; the child switches to `uid`/`gid` (when running as root), runs
// `body` with its standard output and error captured, and exits with the
// body's result. Without root the body runs in the child unchanged.
ChildResult runUnprivileged(const std::function<int()>& body, unsigned uid = 65534,
                            unsigned gid = 65534);

// True when the process can take another user's identity.
bool canDropPrivileges();

}  // namespace qmtest

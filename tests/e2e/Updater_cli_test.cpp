// The built Updater on its command line: banner and usage, rejected options,
// the store directory, command errors, the local build list and the log.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "birdwriter.h"
#include "qm_process.h"

namespace {

const std::string VERSION_LINE = "Updater (Version: 2.12.1 Feb 11 2026)\n";
const std::string COPYRIGHT_LINE = "Copyright (c) 2026 Ostrevan. All rights reserved.\n";
const std::string SHORT_USAGE =
    "\nApplication Usage:\n"
    "Updater <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n"
    "    [-d serial_num]\n"
    "    [-t transport] [-r router_serial]\n"
    "    [-s serial_port] [-o baud_rate]\n"
    "\n"
    "  Quillomat Update and Maintenance Application\n"
    "    -H -h or --help for full usage information.\n"
    "\n";

qmtest::RunResult updater(std::vector<std::string> args, const qmtest::RunOptions& options = {}) {
  args.insert(args.begin(), qmtest::binPath("Updater"));
  return qmtest::run(args, options);
}

qmtest::RunOptions withHome(const std::string& home) {
  qmtest::RunOptions options;
  options.env["HOME"] = home;
  return options;
}

bool isDirectory(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A stored BIRD file made by the test writer.
std::string birdFile(uint32_t build, const std::string& version,
                     birdwriter::Fault fault = birdwriter::Fault::None) {
  birdwriter::Release release;
  release.build = build;
  release.version = version;
  release.fault = fault;
  birdwriter::Bytes bytes = birdwriter::packRelease(release);
  return std::string(bytes.begin(), bytes.end());
}

// --- banner and usage --------------------------------------------------------

TEST(UpdaterCli, BareInvocationPrintsBannerAndShortUsage) {
  qmtest::TempDir home;
  qmtest::RunResult result = updater({}, withHome(home.path()));
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, VERSION_LINE + COPYRIGHT_LINE);
  EXPECT_EQ(result.err, SHORT_USAGE);
  EXPECT_FALSE(exists(home.file(".ostrevan")));
}

TEST(UpdaterCli, OptionsWithoutACommandPrintUsageAndCreateNoStore) {
  qmtest::TempDir dir;
  qmtest::RunResult result = updater({"-i", dir.path(), "-d", "1234ABCD", "-OVERRIDE"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, VERSION_LINE + COPYRIGHT_LINE);
  EXPECT_EQ(result.err, SHORT_USAGE);
  EXPECT_FALSE(exists(dir.file("updater")));
}

TEST(UpdaterCli, HelpPrintsFullUsage) {
  struct Case {
    std::vector<std::string> args;
    bool extended;
  };
  const Case cases[] = {
      {{"-h"}, false},         {{"-H"}, false},          {{"--help"}, false},
      {{"--he"}, false},       {{"-h", "-X", "1"}, false},  // the scan stops at -h
      {{"-X", "1", "-h"}, true}, {{"-D", "-X", "0x20", "--help"}, true},
  };
  for (const Case& c : cases) {
    std::string label = c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
    qmtest::RunResult result = updater(c.args);
    EXPECT_EQ(result.exitCode, 0) << label;
    EXPECT_EQ(result.out, VERSION_LINE + COPYRIGHT_LINE) << label;
    ASSERT_EQ(result.err.substr(0, SHORT_USAGE.size()), SHORT_USAGE) << label;
    EXPECT_TRUE(contains(result.err, "  Parameters to commands:\n")) << label;
    EXPECT_TRUE(contains(result.err, "  Commands:\n")) << label;
    EXPECT_TRUE(contains(result.err, " Sample usage:\n")) << label;
    EXPECT_EQ(contains(result.err, "  Extended Parameters:\n"), c.extended) << label;
    EXPECT_EQ(contains(result.err, "  Extended Commands:\n"), c.extended) << label;
    EXPECT_EQ(contains(result.err, "0x10000000  DEBUG_iMXSerial"), c.extended) << label;
  }
}

// --- rejected options ----------------------------------------------------------

TEST(UpdaterCli, RejectedOptionsPrintTheirErrorBannerAndShortUsage) {
  struct Case {
    std::vector<std::string> args;
    std::string error;
  };
  const Case cases[] = {
      {{"-Y"}, "Unhandled command: [-Y]"},
      {{"-U", "-d", "0"}, "Invalid serial number obtained from argument [0]"},
      {{"-U", "-d", "G1"}, "Invalid serial number obtained from argument [G1]"},
      {{"-U", "-d="}, "Invalid serial number obtained from argument []"},
      {{"-D", "-r", "0xZZ"}, "Invalid router serial number obtained from argument [ZZ]"},
      {{"-D", "-t", "tcp"},
       "Invalid transport type:[tcp]\nMust be one of the following: USB, TCPIP, RECOVER"},
  };
  for (const Case& c : cases) {
    qmtest::TempDir dir;
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-i", dir.path()});
    qmtest::RunResult result = updater(args);
    EXPECT_EQ(result.exitCode, 1) << c.error;
    EXPECT_EQ(result.out, VERSION_LINE + COPYRIGHT_LINE) << c.error;
    EXPECT_EQ(result.err, c.error + "\n" + SHORT_USAGE) << c.error;
    EXPECT_FALSE(exists(dir.file("updater"))) << c.error;
  }
}

TEST(UpdaterCli, BadLogPackagesAreReportedButNotFatal) {
  qmtest::TempDir dir;
  qmtest::RunResult result = updater({"-X", "0x1g", "-I", "-i", dir.path()});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, VERSION_LINE);
  EXPECT_EQ(result.err, "Invalid format for \"-X\" parameter, unprocessed characters [g]\n");
}

// --- store directory -------------------------------------------------------------

TEST(UpdaterCli, ViewInfoCreatesTheStoreAndRunsNothing) {
  qmtest::TempDir dir;
  std::string base = dir.file("a/b");
  qmtest::RunResult result = updater({"-I", "-i", base, "-q", "stray"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, VERSION_LINE);
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(isDirectory(base + "/updater"));

  // -C and -Z are accepted commands that run nothing either.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-C"}, std::vector<std::string>{"-Z", "x"}}) {
    std::vector<std::string> full = args;
    full.insert(full.end(), {"-i", dir.path()});
    qmtest::RunResult other = updater(full);
    EXPECT_EQ(other.exitCode, 0) << args[0];
    EXPECT_EQ(other.out, VERSION_LINE) << args[0];
    EXPECT_EQ(other.err, "") << args[0];
  }
}

TEST(UpdaterCli, StorePathThatIsAFileIsRefused) {
  qmtest::TempDir dir;
  std::string file = dir.file("plain");
  qmtest::writeFile(file, "not a directory");
  qmtest::RunResult result = updater({"-I", "-i", file});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.out, VERSION_LINE);
  EXPECT_EQ(result.err, "Could not find updater directory at " + file + "/updater\n");
}

// The tool run as an unprivileged user without a password entry, so that
// directory permissions and HOME count.
std::vector<std::string> asStranger(std::vector<std::string> args) {
  args.insert(args.begin(), {"setpriv", "--reuid=54321", "--regid=54321", "--clear-groups",
                             qmtest::binPath("Updater")});
  return args;
}

bool canRunAsStranger() { return geteuid() == 0 && access("/usr/bin/setpriv", X_OK) == 0; }

TEST(UpdaterCli, UnwritableStoreDirectoryIsRefused) {
  if (!canRunAsStranger()) GTEST_SKIP() << "needs root and setpriv";
  qmtest::TempDir dir;
  chmod(dir.path().c_str(), 0755);
  std::string locked = dir.file("locked");
  ASSERT_EQ(mkdir(locked.c_str(), 0555), 0);
  qmtest::RunResult result = qmtest::run(asStranger({"-I", "-i", locked}));
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.out, VERSION_LINE);
  EXPECT_EQ(result.err, "Could not find updater directory at " + locked + "/updater\n");
}

TEST(UpdaterCli, DefaultStoreIsInTheHomeDirectory) {
  if (!canRunAsStranger()) GTEST_SKIP() << "needs root and setpriv";
  qmtest::TempDir home;
  chmod(home.path().c_str(), 0777);
  qmtest::RunResult result = qmtest::run(asStranger({"-I"}), withHome(home.path()));
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_TRUE(isDirectory(home.file(".ostrevan/updater")));
}

TEST(UpdaterCli, MissingHomeDirectoryEndsTheRun) {
  if (!canRunAsStranger()) GTEST_SKIP() << "needs root and setpriv";
  qmtest::RunOptions noHome;
  noHome.unsetEnv = {"HOME"};
  qmtest::RunResult result = qmtest::run(asStranger({"-X", "0x10000", "-I"}), noHome);
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.out, VERSION_LINE);
  EXPECT_TRUE(contains(result.err, "Updater: FailedaDirectory_GetHomeDirectory()==> ")) << result.err;
}

// --- command errors ------------------------------------------------------------------

TEST(UpdaterCli, CommandsWithoutTheirDeviceOrPort) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const Case cases[] = {
      {{"-G"}, "-G must specify a specific device via -d\n--help for usage information\n"},
      {{"-U"}, "Must specify the specific device to be updated\n"},
      // A glued argument is no argument at all.
      {{"-U", "-d40F5849A"}, "Must specify the specific device to be updated\n"},
      {{"-N"}, "Must specify the serial port used for connecting\n"},
      {{"-B"}, "Error must supply a serial number for the List Builds command\n" + SHORT_USAGE},
      {{"-L"},
       "Error must supply a serial number for the List Local Builds command\n" + SHORT_USAGE},
      {{"-J"}, "Error must supply a serial number for the Get JWT command\n" + SHORT_USAGE},
  };
  for (const Case& c : cases) {
    qmtest::TempDir dir;
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-i", dir.path()});
    qmtest::RunResult result = updater(args);
    EXPECT_EQ(result.exitCode, 1) << c.args[0];
    EXPECT_EQ(result.out, VERSION_LINE) << c.args[0];
    EXPECT_EQ(result.err, c.err) << c.args[0];
    EXPECT_TRUE(isDirectory(dir.file("updater"))) << c.args[0];
  }
}

TEST(UpdaterCli, DiscoveryEndsTheRunBeforeUpdate) {
  qmtest::TempDir dir;
  qmtest::RunResult result = updater({"-D", "-U", "-i", dir.path()});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_TRUE(contains(result.out, VERSION_LINE + "Searching for Quillomat devices\n"
                                                  "Discovered Devices: (USB)\n"))
      << result.out;
  EXPECT_FALSE(contains(result.err, "Must specify the specific device to be updated"));
}

TEST(UpdaterCli, ServerBuildListGoesBeforeTheToken) {
  qmtest::TempDir dir;
  // Nothing listens on port 1: whatever the server client does, it fails
  // at once and stays on this machine.
  qmtest::RunResult result =
      updater({"-B", "-J", "-d", "1234ABCD", "-i", dir.path(), "-u", "http://127.0.0.1:1/cgi/u"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_TRUE(contains(result.out, "No builds found for device [1234ABCD]\n")) << result.out;
  EXPECT_FALSE(contains(result.err, "jwt")) << result.err;
}

// --- local build list -------------------------------------------------------------------

TEST(UpdaterCli, LocalBuildListShowsEveryVisibleFile) {
  qmtest::TempDir dir;
  std::string device = dir.file("updater/0000ABCD");
  ASSERT_EQ(mkdir(dir.file("updater").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(device.c_str(), 0755), 0);
  qmtest::writeFile(device + "/100.bird", birdFile(100, "1.2.3"));
  qmtest::writeFile(device + "/101.bird", birdFile(101, "1.2.4", birdwriter::Fault::BadSignature));
  // A good header over a body that does not inflate.
  qmtest::writeFile(device + "/102.bird", birdFile(102, "1.2.5", birdwriter::Fault::TruncatedBody));
  qmtest::writeFile(device + "/notes.txt", "remember");
  qmtest::writeFile(device + "/.hidden", "not listed");

  qmtest::RunResult result = updater({"-L", "-d", "abcd", "-i", dir.path()});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  const std::string head = VERSION_LINE + "Build List for device [0000ABCD]:\n\n" +
                           "Build          \tVersion        \n";
  ASSERT_EQ(result.out.substr(0, head.size()), head) << result.out;
  std::set<std::string> rows;
  std::istringstream lines(result.out.substr(head.size()));
  for (std::string line; std::getline(lines, line);) rows.insert(line);
  EXPECT_EQ(rows, (std::set<std::string>{
                      "100            \t1.2.3          ",
                      "101            \t               ",
                      "102            \t               ",
                      "notes.txt      \t               ",
                  }));
}

TEST(UpdaterCli, LocalBuildListOfAnUnknownDevice) {
  qmtest::TempDir dir;
  qmtest::RunResult result = updater({"-L", "-d", "40F5849A", "-i", dir.path()});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, VERSION_LINE + "No builds found for device [40F5849A]\n");
}

// --- diagnostic log -----------------------------------------------------------------------

TEST(UpdaterCli, LogShowsTheCommandLineUnderTheApplicationPackage) {
  qmtest::TempDir dir;
  std::string program = qmtest::binPath("Updater");
  qmtest::RunResult result = updater({"stray", "-X", "0x10000", "-I", "-i", dir.path()});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.err, "\nApplication parameters:[Updater]\n\t[" + program +
                            "]\n\t[-X]\n\t[0x10000]\n\t[-I]\n\t[-i]\n\t[" + dir.path() +
                            "]\n\t[stray]\n");

  // Another package shows none of it.
  qmtest::RunResult quiet = updater({"-X", "0x20", "-I", "-i", dir.path()});
  EXPECT_EQ(quiet.exitCode, 0);
  EXPECT_EQ(quiet.err, "");
}

TEST(UpdaterCli, LogShowsStoreTracesUnderTheUpdaterPackage) {
  qmtest::TempDir dir;
  qmtest::RunResult result =
      updater({"-X", "1", "-L", "-d", "0x40F5849A", "-i", dir.path()});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_TRUE(contains(result.err, "Discarding '0x' serial number prefix\n")) << result.err;
  EXPECT_TRUE(contains(result.err, "UpdaterStore: ")) << result.err;
  EXPECT_FALSE(contains(result.err, "Application parameters")) << result.err;
}

}  // namespace

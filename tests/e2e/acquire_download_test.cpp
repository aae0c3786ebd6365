// -G against the emulated update server: the download worker, the stored
// file and settings, and what follows a download (-L, -U).
// ctest-labels: threaded
#include <gtest/gtest.h>

#include "qm_pty.h"
#include "update_server_fixture.h"

namespace {

using qmtest::UpdateServerFixture;

class Download : public UpdateServerFixture {};

TEST_F(Download, LatestBuildIsValidatedStoredAndRecorded) {
  startServer();
  const auto result = updater({"-G", "-d", SERIAL});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.err, "");
  const auto out = lines(result.out);
  const std::vector<std::string> expected{"Updater (Version: 2.12.1 Feb 11 2026)",
                                          "Retrieving firmware for device with serial number 000012AB",
                                          "No build specified",
                                          "Using Latest build",
                                          "Retrieving build 101",
                                          "Validating build 101 with server",
                                          "Build 101 is valid"};
  EXPECT_EQ(out, expected);
  EXPECT_FALSE(contains(result.out, "\r"));  // no spinner without a terminal

  EXPECT_EQ(qmtest::readFile(store("000012AB/101.bird")), qmtest::readFile(repo("000012AB/101.bird")));
  auto entries = settings();
  EXPECT_EQ(entries["LATEST_DOWNLOAD"], "101.bird");
  EXPECT_EQ(entries["LAST_DOWNLOAD_DATE"].size(), 24u);
  EXPECT_EQ(entries.count("CREATED_TIME"), 1u);

  const std::vector<std::string> queries{
      "/cgi/u?op=hi&rv=2&",
      "/cgi/u?op=qu&sn=000012AB&",
      "/cgi/u?op=builds&sn=000012AB&",
      "/cgi/u?bld=101&fw=FW-HUB&no_cal=false&op=bird&sn=000012AB&",
  };
  EXPECT_EQ(requests(), queries);
}

TEST_F(Download, ChosenBuildAndRepeatedDownloads) {
  startServer();
  auto result = updater({"-G", "-d", SERIAL, "-b", "100"});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_TRUE(contains(result.out, "Retrieving firmware build 100\n"));
  EXPECT_TRUE(contains(result.out, "Build 100 is valid\n"));
  EXPECT_EQ(qmtest::readFile(store("000012AB/100.bird")), qmtest::readFile(repo("000012AB/100.bird")));
  EXPECT_EQ(settings()["LATEST_DOWNLOAD"], "100.bird");

  // The device directory exists now; a second download replaces the record.
  result = updater({"-G", "-d", SERIAL, "-b", "102"});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(settings()["LATEST_DOWNLOAD"], "102.bird");
  EXPECT_TRUE(exists(store("000012AB/100.bird")));
  EXPECT_EQ(requests().back(), "/cgi/u?bld=102&fw=FW-HUB&no_cal=false&op=bird&sn=000012AB&");
}

TEST_F(Download, BuildNotOfferedIsRefusedUnlessOverridden) {
  startServer({"--fault", "builds=http500"});
  auto result = updater({"-G", "-d", SERIAL, "-b", "102"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.err, "No valid build 102\n");
  EXPECT_FALSE(exists(store("000012AB/102.bird")));
  EXPECT_EQ(settings().count("LATEST_DOWNLOAD"), 0u);

  result = updater({"-G", "-d", SERIAL, "-b", "102", "-OVERRIDE"});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_TRUE(contains(result.out, "Override specified, skipping validation of build 102\n"));
  EXPECT_FALSE(contains(result.out, "Validating"));
  EXPECT_EQ(qmtest::readFile(store("000012AB/102.bird")), qmtest::readFile(repo("000012AB/102.bird")));
  // No build list was asked for the second time.
  const auto queries = requests();
  ASSERT_EQ(queries.size(), 6u);
  EXPECT_EQ(queries[3], "/cgi/u?op=hi&rv=2&");
  EXPECT_EQ(queries[4], "/cgi/u?op=qu&sn=000012AB&");
  EXPECT_EQ(queries[5], "/cgi/u?bld=102&fw=FW-HUB&no_cal=false&op=bird&sn=000012AB&");
}

TEST_F(Download, BuildMissingFromTheListIsNotDownloaded) {
  startServer();
  const auto result = updater({"-G", "-d", SERIAL, "-b", "5"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.err, "No valid build 5\n");
  EXPECT_FALSE(exists(store("000012AB/5.bird")));
  for (const auto& query : requests()) EXPECT_FALSE(contains(query, "op=bird")) << query;
}

TEST_F(Download, LocalListShowsTheDownloadedBuild) {
  startServer();
  ASSERT_EQ(updater({"-G", "-d", SERIAL}).exitCode, 0);
  ASSERT_EQ(updater({"-G", "-d", SERIAL, "-b", "102"}).exitCode, 0);
  const auto result = updater({"-L", "-d", SERIAL});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_TRUE(contains(result.out, "101            \t2.0.0          \n")) << result.out;
  EXPECT_TRUE(contains(result.out, "102            \t1.10.0         \n")) << result.out;
  // Newest version first.
  EXPECT_LT(result.out.find("101 "), result.out.find("102 "));
}

TEST_F(Download, DownloadedBuildFeedsTheUpdate) {
  if (!isolateNetwork()) GTEST_SKIP() << "needs network namespaces (root)";
  startServer();
  const auto result = updater({"-G", "-U", "-d", SERIAL});
  // There is no device, so the update fails; the download stands.
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_TRUE(contains(result.out, "Build 101 is valid\n")) << result.out;
  EXPECT_EQ(settings()["LATEST_DOWNLOAD"], "101.bird");
  // The update was given build 101 and had no reason to ask for the current build.
  const auto queries = requests();
  ASSERT_GE(queries.size(), 4u);
  EXPECT_EQ(queries[3], "/cgi/u?bld=101&fw=FW-HUB&no_cal=false&op=bird&sn=000012AB&");
  for (size_t i = 4; i < queries.size(); ++i) EXPECT_FALSE(contains(queries[i], "op=qu")) << queries[i];
}

TEST_F(Download, SpinnerTurnsOnlyOnATerminal) {
  startServer({"--fault", "bird=stall", "--stall-seconds", "1"});
  // The stalled image makes the worker wait about a second, so the spinner
  // draws several frames before giving up with what arrived ("ok" alone).
  std::vector<std::string> argv{qmtest::binPath("Updater"), "-i", home(), "-u", url(), "-G", "-d", SERIAL};
  qmtest::RunOptions options;
  options.env["HOME"] = home();
  const auto pty = qmtest::runOnPty(argv, options);
  EXPECT_EQ(pty.exitCode, 1);
  EXPECT_TRUE(contains(pty.terminal, "\r (Downloading) .      \r")) << pty.terminal;
  EXPECT_TRUE(contains(pty.terminal, "\r (Downloading) ..      \r")) << pty.terminal;
  EXPECT_TRUE(contains(pty.terminal, "\r" + std::string(88, ' ') + "\r")) << pty.terminal;
  EXPECT_TRUE(contains(pty.err, "Failed to retrieve a valid BIRD file\n")) << pty.err;

  const auto piped = updater({"-G", "-d", SERIAL});
  EXPECT_EQ(piped.exitCode, 1);
  EXPECT_FALSE(contains(piped.out, "\r"));
  EXPECT_FALSE(contains(piped.out, "Downloading"));
}

TEST_F(Download, ServerTracesOnlyWithTheServerPackage) {
  startServer();
  auto result = updater({"-G", "-d", SERIAL, "-X", "0x20"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_TRUE(contains(result.err, "GET(" + url() + "?op=hi&rv=2&)\n")) << result.err;
  EXPECT_TRUE(contains(result.err, "GET(" + url() + "?bld=101&fw=FW-HUB&no_cal=false&op=bird&sn=000012AB&)\n"));
  EXPECT_TRUE(contains(result.err, "rcv_data called (..., 1, "));
  EXPECT_TRUE(contains(result.err, "GetBuildList processing entry: [101;2.0.0]\n"));
  EXPECT_TRUE(contains(result.err, "GetBuildList [101][2.0.0]\n"));
  EXPECT_FALSE(contains(result.err, "UpdaterStore:"));  // store traces are another package

  result = updater({"-G", "-d", SERIAL});
  EXPECT_EQ(result.err, "");
}

}  // namespace

// -B, -J and the failures of -G against the emulated update server:
// server down, and every way a reply can go wrong.
#include <gtest/gtest.h>

#include "update_server_fixture.h"

namespace {

using qmtest::UpdateServerFixture;

const std::string DOWN = "http://127.0.0.1:1/cgi/u";  // nothing listens on port 1

class BuildList : public UpdateServerFixture {};
class Token : public UpdateServerFixture {};
class DownloadFault : public UpdateServerFixture {};

TEST_F(BuildList, NewestVersionFirst) {
  startServer();
  const auto result = updater({"-B", "-d", SERIAL});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out,
            "Updater (Version: 2.12.1 Feb 11 2026)\n"
            "Build List for device [000012AB]:\n\n"
            "Build          \tVersion        \n"
            "101            \t2.0.0          \n"
            "102            \t1.10.0         \n"
            "100            \t1.2.3          \n");
  EXPECT_EQ(requests(), (std::vector<std::string>{"/cgi/u?op=hi&rv=2&", "/cgi/u?op=builds&sn=000012AB&"}));
}

TEST_F(BuildList, EmptyOrFailedListsSayNoBuilds) {
  startServer({"--fault", "builds=notok"});
  struct Case {
    std::vector<std::string> args;
    std::string err;
    std::string serial;
  };
  const Case cases[] = {
      {{"-B", "-d", "0000EEEE", "-u", "URL"}, "Failed to retrieve builds for 0000EEEE\n", "0000EEEE"},
      {{"-B", "-d", SERIAL, "-u", DOWN}, "Server request failed for " + DOWN + "\n", SERIAL},
  };
  for (auto c : cases) {
    for (auto& arg : c.args)
      if (arg == "URL") arg = url();
    const auto result = updater(c.args);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.err, c.err);
    EXPECT_TRUE(contains(result.out, "No builds found for device [" + c.serial + "]\n")) << result.out;
  }
}

TEST_F(BuildList, DeviceWithoutBuilds) {
  startServer();
  const auto result = updater({"-B", "-d", "0000EEEE"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(contains(result.out, "No builds found for device [0000EEEE]\n"));
}

TEST_F(Token, PrintedAsOneLine) {
  startServer();
  const auto result = updater({"-J", "-d", SERIAL});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, "Updater (Version: 2.12.1 Feb 11 2026)\neyJhbGciOi.eyJmZWF0.c2lnbmF0dXJl\n");
  EXPECT_EQ(requests(), (std::vector<std::string>{"/cgi/u?op=hi&rv=2&", "/cgi/u?json=false&op=ent_jwt&sn=000012AB&"}));
}

TEST_F(Token, FailuresPrintAnEmptyLineAndExitZero) {
  startServer({"--fault", "ent_jwt=junk"});
  struct Case {
    std::string serial, url, err;
  };
  const Case cases[] = {
      {"0000EEEE", "", "Failed to retrieve jwt for 0000EEEE\n"},  // junk reply
      {SERIAL, DOWN, "Server request failed for " + DOWN + "\n"},
  };
  for (const auto& c : cases) {
    const auto result = updater({"-J", "-d", c.serial, "-u", c.url.empty() ? url() : c.url});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.out, "Updater (Version: 2.12.1 Feb 11 2026)\n\n");
  }
}

TEST_F(DownloadFault, ServerDown) {
  const auto result = updater({"-G", "-d", SERIAL, "-u", DOWN, "-X", "0x20"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_TRUE(contains(result.err, "ping ==> [Couldn't connect to server]\n")) << result.err;
  EXPECT_TRUE(contains(result.err, "Server request failed for " + DOWN + "\n"));
  EXPECT_FALSE(exists(store(SERIAL)));
}

// One misbehaving operation at a time: the user sees the step that failed,
// the log says why, and nothing is stored or recorded.
TEST_F(DownloadFault, EveryMisbehaviourFailsCleanly) {
  struct Case {
    std::string fault;
    std::vector<std::string> errors;  // the user's error lines, in order
    std::string log;                  // a line of the -X 0x20 trace
  };
  const std::string down = "Server request failed for ";
  const std::string no_info = "No build information for device";
  const std::string bad_image = "Failed to retrieve a valid BIRD file";
  const Case cases[] = {
      {"hi=http500", {down}, "PING ==> [500] [error: internal server error\n]"},
      {"hi=notok", {down}, "ServerCommClass: ping failed ["},
      {"hi=empty", {down}, "ServerCommClass: ping failed ["},
      {"hi=stall", {down}, "ping ==> [Timeout was reached]"},
      {"qu=http500", {no_info}, "QueryBuild ==> [500] ["},
      {"qu=notok", {no_info}, "ServerCommClass: QueryBuild failed ["},
      {"qu=empty", {no_info}, "ServerCommClass: QueryBuild failed ["},
      {"qu=stall", {no_info}, "QueryBuild ==> [Timeout was reached]"},
      {"qu=huge", {no_info}, "QueryBuild ==> [Failed writing received data to disk/application]"},
      {"qu=truncate", {"No valid build 0"}, "GET("},
      {"qu=junk", {"No valid build 0"}, "GET("},
      {"builds=notok", {"No valid build 101"}, "ServerCommClass: GetBuildList failed ["},
      {"builds=stall", {"No valid build 101"}, "GetBuildList ==> [Timeout was reached]"},
      {"builds=truncate", {"No valid build 101"}, "GET("},
      {"builds=junk", {"No valid build 101"}, "GetBuildList processing entry: [\x01\xff\xfe;]"},
      {"bird=http500", {"Download failed", bad_image}, "GetBuild ==> [500] ["},
      {"bird=notok", {"Download failed", bad_image}, "ServerCommClass: GetBuild failed ["},
      {"bird=empty", {"Download failed", bad_image}, "ServerCommClass: GetBuild failed ["},
      {"bird=stall", {"Download failed", bad_image}, "GetBuild ==> [Timeout was reached]"},
      {"bird=huge", {"Download failed", bad_image}, "GetBuild ==> [Failed writing received data to disk/application]"},
      {"bird=truncate", {bad_image}, "GET("},
      {"bird=junk", {bad_image}, "GET("},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    std::filesystem::remove_all(home());
    startServer({"--fault", c.fault, "--stall-seconds", "30", "--huge-bytes", "300000"});
    qmtest::RunOptions options;
    options.env["QM_HTTP_STALL_SECONDS"] = "1";
    options.env["QM_HTTP_MAX_REPLY_BYTES"] = "200000";
    const auto result = updater({"-G", "-d", SERIAL, "-X", "0x20"}, options);
    EXPECT_EQ(result.exitCode, 1);
    std::vector<std::string> errors;
    for (const auto& error : c.errors) {
      const size_t at = result.err.find(error == down ? down + url() + "\n" : error + "\n");
      EXPECT_NE(at, std::string::npos) << error << "\n" << result.err.substr(0, 4000);
    }
    EXPECT_TRUE(contains(result.err, c.log)) << result.err.substr(0, 4000);
    EXPECT_FALSE(exists(store("000012AB/101.bird")));
    if (exists(store("000012AB/.settings"))) {
      EXPECT_EQ(settings().count("LATEST_DOWNLOAD"), 0u);
    }
    server_.reset();
  }
}

}  // namespace

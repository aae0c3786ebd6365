// scripts/demo runs clean against the programs of this build: every step
// succeeds, both updates finish and the devices come back with the new
// firmware, and nothing (namespace, temporary files) is left behind.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <regex>

#include "qm_netns.h"
#include "qm_process.h"

namespace {

bool contains(const std::string& text, const std::string& what) {
  return text.find(what) != std::string::npos;
}

}  // namespace

TEST(Demo, RunsEveryStepAndCleansUp) {
  if (!qmtest::NetNamespace::available()) GTEST_SKIP() << "needs network namespaces (root)";
  qmtest::RunOptions options;
  options.env["QM_BIN"] = qmtest::binPath("");
  options.timeout = std::chrono::seconds(280);
  auto result = qmtest::run({std::string(QM_SOURCE_DIR) + "/scripts/demo"}, options);
  ASSERT_FALSE(result.timedOut) << result.out << result.err;
  EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
  const std::string& out = result.out;
  EXPECT_TRUE(contains(out, "demo: all steps succeeded")) << out;
  EXPECT_TRUE(contains(out, " -U -d 40F5849A -u http://127.0.0.1:")) << out;
  EXPECT_TRUE(contains(out, " -U -d 1234ABCD -r 5A17C0DE -u http://127.0.0.1:")) << out;
  EXPECT_TRUE(contains(out, "Update time:")) << out;
  // The last listings show both updated devices with the new version.
  size_t last = out.rfind("-D -t TCPIP");
  ASSERT_NE(last, std::string::npos) << out;
  std::string after = out.substr(last);
  EXPECT_TRUE(std::regex_search(after, std::regex(R"(\n +40F5849A .* 2\.13\.0 \( +4800\))"))) << after;
  EXPECT_TRUE(std::regex_search(after, std::regex(R"(\n +1234ABCD .* 2\.13\.0 \( +4800\))"))) << after;
  EXPECT_EQ(result.err.find("demo:"), std::string::npos) << result.err;

  // Its namespace is gone.
  auto netns = qmtest::run({"ip", "netns", "list"});
  EXPECT_FALSE(contains(netns.out, "qmdemo-")) << netns.out;
}

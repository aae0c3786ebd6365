#include "UpdateServerRequest.h"

#include <gtest/gtest.h>

#include <string>

#include "HTTPRequest.h"

namespace {

using USR = UpdateServerRequest;

std::string Url(const std::map<std::string, std::string>& params) { return HTTPRequest::BuildURL("U", params); }

TEST(UpdateServerQuery, ParametersInNameOrderEachEndedByAmpersand) {
  EXPECT_EQ(Url(USR::QueryBuildParams(0x12AB)), "U?op=qu&sn=000012AB&");
  EXPECT_EQ(Url(USR::GetBuildParams(0xDEADBEEF, "FW-X", "1234", false)),
            "U?bld=1234&fw=FW-X&no_cal=false&op=bird&sn=DEADBEEF&");
  EXPECT_EQ(Url(USR::GetBuildParams(1, "F", "7", true)), "U?bld=7&fw=F&no_cal=true&op=bird&sn=00000001&");
  EXPECT_EQ(Url(USR::GetBuildListParams(0x40F5849A)), "U?op=builds&sn=40F5849A&");
  const uint32_t fp[4] = {0x1, 0xABCDEF01, 0x0, 0xFFFFFFFF};
  EXPECT_EQ(Url(USR::GetRecoveryInfoParams(fp)),
            "U?brief=true&fp=00000001%20ABCDEF01%2000000000%20FFFFFFFF&op=fix&");
  EXPECT_EQ(Url(USR::GetDeviceJWTParams(0xA)), "U?json=false&op=ent_jwt&sn=0000000A&");
  EXPECT_EQ(Url({}), "U");
}

TEST(UpdateServerReply, FirstLineMustBeginWithOk) {
  EXPECT_TRUE(USR::ReplyIsOk("ok"));
  EXPECT_TRUE(USR::ReplyIsOk("okay\nmore"));
  EXPECT_TRUE(USR::ReplyIsOk("ok\r\n"));
  for (const char* bad : {"", "\n", "o", "error\nok\n", " ok\n", "OK\n"}) EXPECT_FALSE(USR::ReplyIsOk(bad)) << bad;
  // A zero byte ends the text, as it would for a C string.
  EXPECT_FALSE(USR::ReplyIsOk(std::string_view("\0ok\n", 4)));
}

TEST(UpdateServerReply, QueryBuild) {
  std::string build = "keep", firmware = "keep";
  EXPECT_TRUE(USR::ParseQueryBuild("ok\n1234\nFIRMWARE-X\n", build, firmware));
  EXPECT_EQ(build, "1234");
  EXPECT_EQ(firmware, "FIRMWARE-X");

  build = firmware = "keep";
  EXPECT_TRUE(USR::ParseQueryBuild("ok\r\n99\r\nFW\r\n", build, firmware));
  EXPECT_EQ(build, "99\r");  // the build line is cut at "\n" only
  EXPECT_EQ(firmware, "FW");

  build = firmware = "keep";
  EXPECT_TRUE(USR::ParseQueryBuild("ok\n55\n", build, firmware));
  EXPECT_EQ(build, "55");
  EXPECT_EQ(firmware, "keep");  // set only when its line is there

  EXPECT_FALSE(USR::ParseQueryBuild("error\n1\n2\n", build, firmware));
  EXPECT_EQ(build, "55");
}

TEST(UpdateServerReply, GetBuild) {
  std::string bird = "old";
  EXPECT_TRUE(USR::ParseGetBuild("ok\nYWJj\r\n", bird));
  EXPECT_EQ(bird, "YWJj");
  EXPECT_TRUE(USR::ParseGetBuild("ok\n", bird));
  EXPECT_EQ(bird, "");  // cleared after a good first line
  bird = "old";
  EXPECT_FALSE(USR::ParseGetBuild("", bird));
  EXPECT_EQ(bird, "old");
}

TEST(UpdateServerReply, BuildList) {
  USR::BuildList builds;
  EXPECT_TRUE(USR::ParseBuildList("ok\n101;1.2.3\n102;1.10.0\n103\nx\n", builds));
  EXPECT_EQ(builds, (USR::BuildList{{"101", "1.2.3"}, {"102", "1.10.0"}, {"103", ""}}));

  builds.clear();
  EXPECT_TRUE(USR::ParseBuildList("ok\r\n200;2.0.0\r\n200;9.9.9\n;;;\n\n\n201;;3.0.0\n", builds));
  // The first version of a build wins; ";;;" has no build number; ";;" runs count as one.
  EXPECT_EQ(builds, (USR::BuildList{{"200", "2.0.0"}, {"201", "3.0.0"}}));

  builds = {{"x", "y"}};
  EXPECT_FALSE(USR::ParseBuildList("nope\n1;2.3.4\n", builds));
  EXPECT_EQ(builds.size(), 1u);
}

TEST(UpdateServerReply, RecoveryInfo) {
  uint32_t serial = 7, build = 7;
  EXPECT_TRUE(USR::ParseRecoveryInfo("ok\n0012ABCD\n0x10\n", &serial, &build));
  EXPECT_EQ(serial, 0x0012ABCDu);
  EXPECT_EQ(build, 16u);
  EXPECT_TRUE(USR::ParseRecoveryInfo("ok\nDEADDEAD\n010\n", &serial, &build));
  EXPECT_EQ(serial, 0xDEADDEADu);
  EXPECT_EQ(build, 8u);  // leading zero: octal
  EXPECT_TRUE(USR::ParseRecoveryInfo("ok\n1F\n", &serial, &build));
  EXPECT_EQ(serial, 0x1Fu);
  EXPECT_EQ(build, 8u);
  serial = build = 7;
  EXPECT_FALSE(USR::ParseRecoveryInfo("error\n1\n2\n", &serial, &build));
  EXPECT_EQ(serial, 7u);
  EXPECT_EQ(build, 7u);
}

TEST(UpdateServerReply, DeviceJWT) {
  struct Case {
    const char* body;
    bool ok;
    const char* token;
  };
  const Case cases[] = {
      {"ok\nab.cd.ef\n", true, "ab.cd.ef"},
      {"ok\nab.cd.ef.gh\r\n", true, "ab.cd.ef.gh"},
      {"ok\nhdr.payload.sig\n", true, "hdr.payload.sig"},
      {"ok\nab.cd\n", false, ""},
      {"ok\na.cd.ef\n", false, ""},
      {"ok\nab.cd.e\n", false, ""},
      {"ok\nab\n", false, ""},
      {"ok\n", false, ""},
      {"error\nab.cd.ef\n", false, ""},
  };
  for (const auto& c : cases) {
    std::string jwt;
    EXPECT_EQ(USR::ParseDeviceJWT(c.body, jwt), c.ok) << c.body;
    EXPECT_EQ(jwt, c.token) << c.body;
  }
}

TEST(UpdateServerReply, BinaryJunkAndHugeLinesAreHandled) {
  const std::string junk("ok\n\x01\xff;\x00.\x80\r\n", 11);
  USR::BuildList builds;
  std::string text;
  EXPECT_TRUE(USR::ParseBuildList(junk, builds));
  // The text ends at the zero byte; what is left is a build without a version.
  EXPECT_EQ(builds, (USR::BuildList{{"\x01\xff", ""}}));
  const std::string huge = "ok\n" + std::string(1 << 20, 'A');
  EXPECT_TRUE(USR::ParseGetBuild(huge, text));
  EXPECT_EQ(text.size(), size_t{1} << 20);
  EXPECT_FALSE(USR::ParseDeviceJWT(huge, text));
}

TEST(UpdateServerVersion, SplitNeedsExactlyThreeParts) {
  EXPECT_EQ(USR::SplitQuillomatVersion("2.10.3"), (std::vector<std::string>{"2", "10", "3"}));
  EXPECT_EQ(USR::SplitQuillomatVersion("1..2"), (std::vector<std::string>{"1", "", "2"}));
  for (const char* v : {"", "2", "2.10", "2.10.3.1", "....."}) EXPECT_TRUE(USR::SplitQuillomatVersion(v).empty()) << v;
}

TEST(UpdateServerVersion, SortsNewestFirst) {
  const auto sorted = USR::SortBuildsByVersion({{"a", "1.2.3"}, {"b", "1.10.0"}, {"c", "2.0.0"}, {"d", "1.2.10"}});
  ASSERT_EQ(sorted.size(), 4u);
  EXPECT_EQ(sorted[0], (std::pair<std::string, std::string>{"c", "2.0.0"}));
  EXPECT_EQ(sorted[1].second, "1.10.0");
  EXPECT_EQ(sorted[2].second, "1.2.10");
  EXPECT_EQ(sorted[3].second, "1.2.3");
}

TEST(UpdateServerVersion, UnreadableVersionsGoLastInBuildOrder) {
  USR::BuildList builds;
  for (int i = 0; i < 40; ++i) builds[std::to_string(100 + i)] = (i % 3 == 0) ? "x.y" : "1." + std::to_string(i) + ".0";
  builds["zz"] = "";
  const auto sorted = USR::SortBuildsByVersion(builds);
  ASSERT_EQ(sorted.size(), builds.size());
  size_t i = 0;
  for (; i < sorted.size() && !USR::SplitQuillomatVersion(sorted[i].second).empty(); ++i) {
    if (i > 0) {
      EXPECT_GE(std::stoi(USR::SplitQuillomatVersion(sorted[i - 1].second)[1]),
                std::stoi(USR::SplitQuillomatVersion(sorted[i].second)[1]));
    }
  }
  std::vector<std::string> rest;
  for (; i < sorted.size(); ++i) rest.push_back(sorted[i].first);
  ASSERT_EQ(rest.size(), 15u);
  EXPECT_TRUE(std::is_sorted(rest.begin(), rest.end()));
}

TEST(UpdateServerVersion, PartsCountOnlyTheirLowEightBits) {
  // 1.256.0 reads as 1.0.0, so 1.1.0 is newer.
  const auto sorted = USR::SortBuildsByVersion({{"a", "1.256.0"}, {"b", "1.1.0"}});
  EXPECT_EQ(sorted[0].first, "b");
}

}  // namespace

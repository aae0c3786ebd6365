// The emulated update server: its answers from a repository directory, its
// misbehaviour modes and the program around it.
#include "UpdateServer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "HTTPRequest.h"
#include "base64.h"
#include "birdwriter.h"
#include "qm_process.h"

namespace {

using updateserver::Fault;
using updateserver::UpdateServer;

// A repository with two devices, a default recovery image, a fingerprint
// table and a token.
class Repository {
 public:
  Repository() {
    addBuild("000012AB", 100, "1.2.3");
    addBuild("000012AB", 101, "1.10.0");
    addBuild("000012AB", 99, "");  // no info block: listed without a version
    qmtest::writeFile(dir_.file("000012AB/device.conf"), "# current build and firmware\ncurrent=100\nfirmware=FW-A\n");
    addBuild("DEADDEAD", 7, "0.0.7");
    std::filesystem::create_directories(dir_.file("0000EEEE"));
    qmtest::writeFile(dir_.file("fingerprints"), "1 2 3 4 000012AB 101\nA B C D 000012AB\n");
    qmtest::writeFile(dir_.file("tokens"), "000012AB hdr.payload.sig\n");
  }

  void addBuild(const std::string& serial, uint32_t build, const std::string& version) {
    std::filesystem::create_directories(dir_.file(serial));
    birdwriter::Release release;
    release.build = build;
    release.version = version;
    birdwriter::Image image = birdwriter::makeImage(release);
    if (version.empty()) image.blocks.erase(image.blocks.begin() + static_cast<long>(infoIndex(image)));
    const auto bytes = birdwriter::pack(image);
    files_[serial + "/" + std::to_string(build)] = std::string(bytes.begin(), bytes.end());
    qmtest::writeFile(dir_.file(serial + "/" + std::to_string(build) + ".bird"), files_[serial + "/" + std::to_string(build)]);
  }
  const std::string& file(const std::string& key) { return files_.at(key); }
  std::string path() const { return dir_.path(); }

 private:
  static size_t infoIndex(const birdwriter::Image& image) {
    for (size_t i = 0; i < image.blocks.size(); ++i)
      if (image.blocks[i].type == birdwriter::INFO) return i;
    throw std::runtime_error("no info block");
  }
  qmtest::TempDir dir_;
  std::map<std::string, std::string> files_;
};

updateserver::ServerOptions Options(const std::string& repository) {
  updateserver::ServerOptions options;
  options.repository = repository;
  return options;
}

std::string Answer(const UpdateServer& server, std::multimap<std::string, std::string> params) {
  const auto reply = server.answer(params);
  EXPECT_EQ(reply.status, 200);
  return reply.body;
}

TEST(UpdateServer, AnswersEveryOperationFromTheRepository) {
  Repository repo;
  UpdateServer server(Options(repo.path()));
  EXPECT_EQ(Answer(server, {{"op", "hi"}, {"rv", "2"}}), "ok\n");
  EXPECT_EQ(Answer(server, {{"op", "qu"}, {"sn", "000012AB"}}), "ok\n100\nFW-A\n");
  EXPECT_EQ(Answer(server, {{"op", "builds"}, {"sn", "000012AB"}}), "ok\n99;\n100;1.2.3\n101;1.10.0\n");
  // Without device.conf: the highest build and a default firmware name.
  EXPECT_EQ(Answer(server, {{"op", "qu"}, {"sn", "deaddead"}}), "ok\n7\nQM-FIRMWARE\n");
  EXPECT_EQ(Answer(server, {{"op", "builds"}, {"sn", "0000EEEE"}}), "ok\n");
  EXPECT_EQ(Answer(server, {{"op", "fix"}, {"brief", "true"}, {"fp", "00000001 00000002 00000003 00000004"}}),
            "ok\n000012AB\n101\n");
  EXPECT_EQ(Answer(server, {{"op", "fix"}, {"fp", "0000000A 0000000B 0000000C 0000000D"}}), "ok\n000012AB\n100\n");
  // Unknown chips get the default recovery image.
  EXPECT_EQ(Answer(server, {{"op", "fix"}, {"fp", "00000009 00000009 00000009 00000009"}}), "ok\nDEADDEAD\n7\n");
  EXPECT_EQ(Answer(server, {{"op", "ent_jwt"}, {"json", "false"}, {"sn", "000012AB"}}), "ok\nhdr.payload.sig\n");

  const std::string bird =
      Answer(server, {{"op", "bird"}, {"sn", "000012AB"}, {"bld", "101"}, {"fw", "FW-A"}, {"no_cal", "false"}});
  ASSERT_EQ(bird.substr(0, 3), "ok\n");
  const std::string text = bird.substr(3, bird.size() - 4);
  size_t length = 0;
  char* bytes = base64_decode(text.data(), text.size(), &length);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(std::string(bytes, length), repo.file("000012AB/101"));
  std::free(bytes);
}

TEST(UpdateServer, RefusesWhatTheRepositoryDoesNotHold) {
  Repository repo;
  UpdateServer server(Options(repo.path()));
  const std::multimap<std::string, std::string> refused[] = {
      {{"op", "qu"}, {"sn", "00000001"}},
      {{"op", "qu"}, {"sn", "0000EEEE"}},  // known device without builds
      {{"op", "qu"}, {"sn", "xyz"}},
      {{"op", "builds"}, {"sn", "00000001"}},
      {{"op", "bird"}, {"sn", "000012AB"}, {"bld", "102"}, {"fw", "FW-A"}},
      {{"op", "bird"}, {"sn", "000012AB"}, {"bld", "101"}, {"fw", "OTHER"}},
      {{"op", "fix"}, {"fp", "1 2 3"}},
      {{"op", "ent_jwt"}, {"sn", "DEADDEAD"}},
      {{"op", "nope"}},
      {},
  };
  for (const auto& params : refused) EXPECT_EQ(Answer(server, params).substr(0, 7), "error: ");
}

// Each misbehaviour as a client sees it over HTTP.
TEST(UpdateServer, MisbehavesPerOperation) {
  Repository repo;
  updateserver::ServerOptions options = Options(repo.path());
  options.faults = {{"qu", Fault::Http500}, {"builds", Fault::NotOk}, {"hi", Fault::Empty},
                    {"bird", Fault::Truncate}, {"ent_jwt", Fault::Junk}, {"fix", Fault::Truncate}};
  UpdateServer server(options);
  ASSERT_TRUE(server.start());
  auto get = [&](std::map<std::string, std::string> params) { return HTTPRequest::GET(server.url(), params); };

  HTTPResponse qu = get({{"op", "qu"}, {"sn", "000012AB"}});
  EXPECT_EQ(qu.get_status(), 500);
  EXPECT_EQ(get({{"op", "builds"}, {"sn", "000012AB"}}).body(), "error: request refused\n");
  EXPECT_EQ(get({{"op", "hi"}, {"rv", "2"}}).body(), "");
  EXPECT_EQ(get({{"op", "fix"}, {"fp", "1%202%203%204"}}).body(), "ok\n");
  const std::string junk = get({{"op", "ent_jwt"}, {"sn", "000012AB"}}).body();
  EXPECT_EQ(junk.substr(0, 3), "ok\n");
  EXPECT_NE(junk.find('\0'), std::string::npos);

  const std::string bird = get({{"bld", "100"}, {"fw", "FW-A"}, {"op", "bird"}, {"sn", "000012AB"}}).body();
  const std::string text = bird.substr(3, bird.size() - 4);
  EXPECT_NE(text.size() % 4, 0u);
  EXPECT_EQ(bird.back(), '\n');

  const auto targets = server.requests();
  ASSERT_EQ(targets.size(), 6u);
  EXPECT_EQ(targets[0], "/cgi/u?op=qu&sn=000012AB&");
  EXPECT_EQ(targets[3], "/cgi/u?fp=1%202%203%204&op=fix&");
}

TEST(UpdateServer, StallsAndFloodsUntilTheClientGivesUp) {
  Repository repo;
  updateserver::ServerOptions options = Options(repo.path());
  options.faults = {{"hi", Fault::Stall}, {"*", Fault::Huge}};
  options.huge_bytes = 1 << 20;
  UpdateServer server(options);
  ASSERT_TRUE(server.start());

  HTTPLimits limits;
  limits.low_speed_time_s = 1;
  EXPECT_THROW(HTTPRequest::GET(server.url(), {{"op", "hi"}}, limits), std::runtime_error);
  limits.max_body = 100000;
  EXPECT_THROW(HTTPRequest::GET(server.url(), {{"op", "qu"}}, limits), std::runtime_error);
  // Under the cap the long line arrives whole.
  limits.max_body = size_t{2} << 20;
  EXPECT_EQ(HTTPRequest::GET(server.url(), {{"op", "qu"}}, limits).body().size(), 3u + (1u << 20) + 1u);
}

TEST(UpdateServerProgram, ServesOnTheChosenPortAndLogsEachRequest) {
  Repository repo;
  qmtest::Background server({qmtest::binPath("quillomat-update-server"), "--repo", repo.path(), "--port", "0"});
  const std::string line = server.waitForLine("serving");
  ASSERT_NE(line, "") << server.errors();
  const std::string url = line.substr(line.find("http://"));
  EXPECT_EQ(url.substr(0, 17), "http://127.0.0.1:");
  EXPECT_EQ(url.substr(url.size() - 6), "/cgi/u");

  EXPECT_EQ(HTTPRequest::GET(url, {{"op", "qu"}, {"sn", "000012AB"}}).body(), "ok\n100\nFW-A\n");
  EXPECT_NE(server.waitForLine("GET /cgi/u?op=qu&sn=000012AB&"), "");
  EXPECT_EQ(server.stop(), 0);
}

TEST(UpdateServerProgram, RejectsBadCommandLines) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"--repo"}, {"--repo", "/tmp", "--fault", "qu=explode"}, {"--repo", "/tmp", "--port", "70000"},
           {"--repo", "/tmp", "--cert", "c.pem"}}) {
    std::vector<std::string> argv{qmtest::binPath("quillomat-update-server")};
    argv.insert(argv.end(), args.begin(), args.end());
    EXPECT_EQ(qmtest::run(argv).exitCode, 2);
  }
}

}  // namespace

// End-to-end fixture for the commands that talk to the update server: a
// firmware repository in a temporary directory, the emulated update server
// serving it on 127.0.0.1, and the built Updater run against it with its
// store in the same temporary directory.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "birdwriter.h"
#include "qm_netns.h"
#include "qm_process.h"

namespace qmtest {

class UpdateServerFixture : public ::testing::Test {
 protected:
  static constexpr const char* SERIAL = "000012AB";

  // Device 000012AB offers three builds whose versions sort in neither
  // numeric nor text order; its current build is 101.
  void SetUp() override {
    addBuild(SERIAL, 100, "1.2.3");
    addBuild(SERIAL, 101, "2.0.0");
    addBuild(SERIAL, 102, "1.10.0");
    writeFile(repo("000012AB/device.conf"), "current=101\nfirmware=FW-HUB\n");
    std::filesystem::create_directories(repo("0000EEEE"));
    writeFile(repo("0000EEEE/device.conf"), "current=5\n");
    writeFile(repo("tokens"), "000012AB eyJhbGciOi.eyJmZWF0.c2lnbmF0dXJl\n");
    writeFile(repo("fingerprints"), "11 22 33 44 000012AB 100\n");
  }

  std::string repo(const std::string& path = "") const { return dir_.path() + "/repo" + (path.empty() ? "" : "/" + path); }
  std::string home() const { return dir_.path() + "/home"; }
  std::string store(const std::string& path = "") const {
    return home() + "/updater" + (path.empty() ? "" : "/" + path);
  }

  // Packs a BIRD file for `serial` and puts it into the repository.
  std::string addBuild(const std::string& serial, uint32_t build, const std::string& version) {
    birdwriter::Release release;
    release.build = build;
    release.version = version;
    release.firmware = {{0x8000, birdwriter::patternBytes(3000, build)}};
    const auto bytes = birdwriter::packRelease(release);
    std::filesystem::create_directories(repo(serial));
    const std::string data(bytes.begin(), bytes.end());
    writeFile(repo(serial + "/" + std::to_string(build) + ".bird"), data);
    return data;
  }

  // Starts the server with extra options (faults, certificates).
  void startServer(const std::vector<std::string>& extra = {}, const std::string& scheme = "http://") {
    std::vector<std::string> argv{binPath("quillomat-update-server"), "--repo", repo()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    RunOptions options;
    if (netns_) options.netns = netns_->name();
    server_ = std::make_unique<Background>(argv, options);
    const std::string line = server_->waitForLine("serving");
    ASSERT_NE(line, "") << server_->errors();
    url_ = line.substr(line.find(scheme));
  }

  const std::string& url() const { return url_; }

  // Commands that reach for devices (-U, -D) run discovery, which sends
  // multicast on every interface: such a test runs the server and the tool
  // in a private network namespace. Call before startServer.
  bool isolateNetwork() {
    if (!NetNamespace::available()) return false;
    netns_ = std::make_unique<NetNamespace>();
    return true;
  }

  RunResult updater(const std::vector<std::string>& args, RunOptions options = {}) {
    std::vector<std::string> argv{binPath("Updater"), "-i", home()};
    bool has_url = false;
    for (const auto& arg : args) has_url = has_url || arg == "-u";
    if (!has_url) {
      argv.push_back("-u");
      argv.push_back(url_);
    }
    argv.insert(argv.end(), args.begin(), args.end());
    options.env["HOME"] = home();
    options.unsetEnv.push_back("CURL_CA_BUNDLE");
    if (netns_ && options.netns.empty()) options.netns = netns_->name();
    return run(argv, options);
  }

  // The request targets the server logged so far, in order.
  std::vector<std::string> requests() {
    std::vector<std::string> targets;
    server_->waitForLine("GET ", std::chrono::milliseconds(200));
    std::istringstream lines(server_->output());
    for (std::string line; std::getline(lines, line);)
      if (line.rfind("GET ", 0) == 0) targets.push_back(line.substr(4));
    return targets;
  }

  static std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }
  static bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
  }
  static bool exists(const std::string& path) { return std::filesystem::exists(path); }

  // Entries of a settings file.
  std::map<std::string, std::string> settings(const std::string& serial = SERIAL) {
    std::map<std::string, std::string> entries;
    for (const auto& line : lines(readFile(store(serial + "/.settings")))) {
      const size_t eq = line.find('=');
      if (eq != std::string::npos) entries[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return entries;
  }

  // Declared first so the namespace outlives the server running in it.
  std::unique_ptr<NetNamespace> netns_;
  std::unique_ptr<Background> server_;

 private:
  TempDir dir_;
  std::string url_;
};

}  // namespace qmtest

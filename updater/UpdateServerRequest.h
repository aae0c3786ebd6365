// Client side of the update server's query interface. Each request is one
// HTTP GET of the server URL with "op" naming the operation; replies are
// text lines, the first of which begins with "ok" on success.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class UpdateServerRequest {
 public:
  using BuildList = std::map<std::string, std::string>;
  using SortedBuilds = std::vector<std::pair<std::string, std::string>>;

  // Used when a request is given a null URL.
  static const char* const default_url;
  static const char* const delimiters;

  static bool ping(const char* url);
  static bool QueryBuild(uint32_t serial, std::string& build, std::string& firmware, const char* url);
  static bool GetBuild(uint32_t serial, const std::string& firmware, const std::string& build, std::string& bird,
                       const char* url, bool no_cal);
  static bool GetBuildList(uint32_t serial, BuildList& builds, const char* url);
  static bool GetRecoveryInfo(const uint32_t* fingerprint, uint32_t* serial, uint32_t* build, const char* url);
  static bool GetDeviceJWT(uint32_t serial, std::string& jwt, const char* url);

  // Build list as (build, version) pairs, newest version first.
  static SortedBuilds SortBuildsByVersion(const BuildList& builds);
  // The three parts of "major.minor.patch"; empty unless there are exactly three.
  static std::vector<std::string> SplitQuillomatVersion(const std::string& version);

  // Query parameters of each request, as sent.
  static std::map<std::string, std::string> QueryBuildParams(uint32_t serial);
  static std::map<std::string, std::string> GetBuildParams(uint32_t serial, const std::string& firmware,
                                                           const std::string& build, bool no_cal);
  static std::map<std::string, std::string> GetBuildListParams(uint32_t serial);
  static std::map<std::string, std::string> GetRecoveryInfoParams(const uint32_t* fingerprint);
  static std::map<std::string, std::string> GetDeviceJWTParams(uint32_t serial);

  // Reply parsers: pure functions over the body text. Each returns false
  // when the first line does not begin with "ok" (results untouched), and
  // otherwise sets the results the reply carries.
  static bool ReplyIsOk(std::string_view body);
  static bool ParseQueryBuild(std::string_view body, std::string& build, std::string& firmware);
  static bool ParseGetBuild(std::string_view body, std::string& bird);
  static bool ParseBuildList(std::string_view body, BuildList& builds);
  static bool ParseRecoveryInfo(std::string_view body, uint32_t* serial, uint32_t* build);
  // Also false when the token line is missing or malformed.
  static bool ParseDeviceJWT(std::string_view body, std::string& jwt);
};

// Update server requests: query parameters, the common request frame and
// the reply parsers.
#include "UpdateServerRequest.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <stdexcept>
#include <tuple>

#include "HTTPRequest.h"
#include "Log.h"

const char* const UpdateServerRequest::default_url = QM_DEFAULT_SERVER_URL;
const char* const UpdateServerRequest::delimiters = "\n";

namespace {

// Takes tokens from a reply the way strtok does: leading delimiters are
// skipped, a token runs to the next delimiter, which is consumed. Each call
// may use its own delimiter set. The body ends at its first zero byte, as a
// C string would.
class sTokens {
 public:
  explicit sTokens(std::string_view text) : rest_(text.substr(0, text.find('\0'))) {}

  std::optional<std::string_view> next(std::string_view delims) {
    const size_t start = rest_.find_first_not_of(delims);
    if (start == std::string_view::npos) {
      rest_ = {};
      return std::nullopt;
    }
    rest_.remove_prefix(start);
    const size_t end = rest_.find_first_of(delims);
    const std::string_view token = rest_.substr(0, end);
    rest_ = end == std::string_view::npos ? std::string_view{} : rest_.substr(end + 1);
    return token;
  }

 private:
  std::string_view rest_;
};

// First line of the reply; true when it begins with "ok".
bool sFirstLineOk(sTokens& tokens) {
  const auto first = tokens.next(UpdateServerRequest::delimiters);
  return first && first->substr(0, 2) == "ok";
}

std::string sSerialText(uint32_t serial) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", serial);
  return text;
}

int sLen(std::string_view text) { return static_cast<int>(std::min<size_t>(text.size(), 1u << 20)); }

// The frame every request shares: GET, status 200, first line "ok".
bool sRequest(const char* name, const char* url, const std::map<std::string, std::string>& params,
              std::string& body) {
  const std::string server = url != nullptr ? url : UpdateServerRequest::default_url;
  try {
    HTTPResponse response = HTTPRequest::GET(server, params);
    body = response.body();
    if (response.get_status() != 200) {
      if (std::string_view(name) == "ping")
        Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n", static_cast<int>(response.get_status()),
                 response.get_response());
      else
        Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", name, static_cast<int>(response.get_status()),
                 response.get_response());
      return false;
    }
    if (!UpdateServerRequest::ReplyIsOk(body)) {
      Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name, response.get_request().c_str());
      return false;
    }
  } catch (const std::exception& e) {
    Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, e.what());
    return false;
  }
  return true;
}

// Version as (major, minor, patch), each cut to 8 bits; none when the text
// is not three numeric parts.
std::optional<std::tuple<uint8_t, uint8_t, uint8_t>> sVersionKey(const std::string& version) {
  const auto parts = UpdateServerRequest::SplitQuillomatVersion(version);
  try {
    if (parts.size() != 3) throw std::invalid_argument("stoi");
    return std::make_tuple(static_cast<uint8_t>(std::stoi(parts[0]) & 0xFF),
                           static_cast<uint8_t>(std::stoi(parts[1]) & 0xFF),
                           static_cast<uint8_t>(std::stoi(parts[2]) & 0xFF));
  } catch (const std::exception& e) {
    Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion", e.what());
    return std::nullopt;
  }
}

using sKeyed = std::pair<std::optional<std::tuple<uint8_t, uint8_t, uint8_t>>, std::pair<std::string, std::string>>;

// Newer versions first. Versions that can't be read sort after all readable
// ones, so the ordering stays a strict weak ordering whatever the texts are.
bool _sortVersion(const sKeyed& a, const sKeyed& b) {
  if (a.first && b.first) return *a.first > *b.first;
  return a.first.has_value() && !b.first.has_value();
}

}  // namespace

// ---- parameters ----

std::map<std::string, std::string> UpdateServerRequest::QueryBuildParams(uint32_t serial) {
  return {{"op", "qu"}, {"sn", sSerialText(serial)}};
}

std::map<std::string, std::string> UpdateServerRequest::GetBuildParams(uint32_t serial, const std::string& firmware,
                                                                       const std::string& build, bool no_cal) {
  return {{"bld", build},
          {"fw", firmware},
          {"no_cal", no_cal ? "true" : "false"},
          {"op", "bird"},
          {"sn", sSerialText(serial)}};
}

std::map<std::string, std::string> UpdateServerRequest::GetBuildListParams(uint32_t serial) {
  return {{"op", "builds"}, {"sn", sSerialText(serial)}};
}

std::map<std::string, std::string> UpdateServerRequest::GetRecoveryInfoParams(const uint32_t* fingerprint) {
  char fp[64];
  std::snprintf(fp, sizeof fp, "%08X%%20%08X%%20%08X%%20%08X", fingerprint[0], fingerprint[1], fingerprint[2],
                fingerprint[3]);
  return {{"brief", "true"}, {"fp", fp}, {"op", "fix"}};
}

std::map<std::string, std::string> UpdateServerRequest::GetDeviceJWTParams(uint32_t serial) {
  return {{"json", "false"}, {"op", "ent_jwt"}, {"sn", sSerialText(serial)}};
}

// ---- reply parsers ----

bool UpdateServerRequest::ReplyIsOk(std::string_view body) {
  sTokens tokens(body);
  return sFirstLineOk(tokens);
}

bool UpdateServerRequest::ParseQueryBuild(std::string_view body, std::string& build, std::string& firmware) {
  sTokens tokens(body);
  if (!sFirstLineOk(tokens)) return false;
  if (const auto line = tokens.next(delimiters)) build = std::string(*line);
  if (const auto line = tokens.next("\r\n")) firmware = std::string(*line);
  return true;
}

bool UpdateServerRequest::ParseGetBuild(std::string_view body, std::string& bird) {
  sTokens tokens(body);
  if (!sFirstLineOk(tokens)) return false;
  bird.clear();
  if (const auto line = tokens.next("\r\n")) bird = std::string(*line);
  return true;
}

bool UpdateServerRequest::ParseBuildList(std::string_view body, BuildList& builds) {
  sTokens tokens(body);
  if (!sFirstLineOk(tokens)) return false;
  while (const auto line = tokens.next(delimiters)) {
    if (line->size() < 3) continue;
    Log::log(DEBUG_ServerComm, "%s processing entry: [%.*s]\n", "GetBuildList", sLen(*line), line->data());
    sTokens parts(*line);
    const auto build = parts.next(";\r\n");
    if (!build) continue;
    const std::string_view version = parts.next(";\r\n").value_or(std::string_view{});
    builds.emplace(std::string(*build), std::string(version));
    Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", "GetBuildList", std::string(*build).c_str(),
             std::string(version).c_str());
  }
  return true;
}

bool UpdateServerRequest::ParseRecoveryInfo(std::string_view body, uint32_t* serial, uint32_t* build) {
  sTokens tokens(body);
  const auto first = tokens.next(delimiters);
  if (!first || first->substr(0, 2) != "ok") return false;
  const auto serial_line = tokens.next(delimiters);
  const auto build_line = tokens.next(delimiters);
  if (serial_line && serial != nullptr)
    *serial = static_cast<uint32_t>(std::strtoul(std::string(*serial_line).c_str(), nullptr, 16));
  if (build_line && build != nullptr)
    *build = static_cast<uint32_t>(std::strtoul(std::string(*build_line).c_str(), nullptr, 0));
  Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", "GetRecoveryInfo", std::string(*first).c_str(),
           std::string(serial_line.value_or("")).c_str(), std::string(build_line.value_or("")).c_str());
  return true;
}

bool UpdateServerRequest::ParseDeviceJWT(std::string_view body, std::string& jwt) {
  sTokens tokens(body);
  if (!sFirstLineOk(tokens)) return false;
  const auto line = tokens.next(delimiters);
  if (!line || line->size() < 3) return false;
  Log::log(DEBUG_ServerComm, "%s processing entry: [%.*s]\n", "GetDeviceJWT", sLen(*line), line->data());
  sTokens parts(*line);
  const auto header = parts.next(".");
  const auto payload = parts.next(".");
  const auto signature = parts.next("\r\n");
  if (!header || !payload || !signature) return false;
  if (header->size() < 2 || payload->size() < 2 || signature->size() < 2) return false;
  jwt = std::string(*header) + "." + std::string(*payload) + "." + std::string(*signature);
  return true;
}

// ---- requests ----

bool UpdateServerRequest::ping(const char* url) {
  std::string body;
  return sRequest("ping", url, {{"op", "hi"}, {"rv", "2"}}, body);
}

bool UpdateServerRequest::QueryBuild(uint32_t serial, std::string& build, std::string& firmware, const char* url) {
  std::string body;
  return sRequest("QueryBuild", url, QueryBuildParams(serial), body) && ParseQueryBuild(body, build, firmware);
}

bool UpdateServerRequest::GetBuild(uint32_t serial, const std::string& firmware, const std::string& build,
                                   std::string& bird, const char* url, bool no_cal) {
  std::string body;
  return sRequest("GetBuild", url, GetBuildParams(serial, firmware, build, no_cal), body) &&
         ParseGetBuild(body, bird);
}

bool UpdateServerRequest::GetBuildList(uint32_t serial, BuildList& builds, const char* url) {
  builds.clear();
  std::string body;
  return sRequest("GetBuildList", url, GetBuildListParams(serial), body) && ParseBuildList(body, builds);
}

bool UpdateServerRequest::GetRecoveryInfo(const uint32_t* fingerprint, uint32_t* serial, uint32_t* build,
                                          const char* url) {
  if (fingerprint == nullptr) return false;
  std::string body;
  return sRequest("GetRecoveryInfo", url, GetRecoveryInfoParams(fingerprint), body) &&
         ParseRecoveryInfo(body, serial, build);
}

bool UpdateServerRequest::GetDeviceJWT(uint32_t serial, std::string& jwt, const char* url) {
  std::string body;
  return sRequest("GetDeviceJWT", url, GetDeviceJWTParams(serial), body) && ParseDeviceJWT(body, jwt);
}

// ---- versions ----

std::vector<std::string> UpdateServerRequest::SplitQuillomatVersion(const std::string& version) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t dot = version.find('.', start);
    parts.push_back(version.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
    if (dot == std::string::npos) break;
    start = dot + 1;
    if (parts.size() > 3) break;
  }
  if (parts.size() != 3) parts.clear();
  return parts;
}

UpdateServerRequest::SortedBuilds UpdateServerRequest::SortBuildsByVersion(const BuildList& builds) {
  std::vector<sKeyed> keyed;
  keyed.reserve(builds.size());
  for (const auto& entry : builds) keyed.emplace_back(sVersionKey(entry.second), entry);
  std::stable_sort(keyed.begin(), keyed.end(), _sortVersion);
  SortedBuilds sorted;
  sorted.reserve(keyed.size());
  for (auto& entry : keyed) sorted.push_back(std::move(entry.second));
  return sorted;
}

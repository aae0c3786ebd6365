// One blocking HTTP(S) GET through libcurl's easy interface. Every request
// the tool sends to the update server goes through HTTPRequest::GET.
#pragma once

#include <cstddef>
#include <map>
#include <string>

// The outcome of one GET: the URL asked for, the HTTP status and the body.
class HTTPResponse {
 public:
  explicit HTTPResponse(const std::string& request);

  void set_status(long status);
  // Appends `length` bytes of the body as they arrive.
  void process(const char* data, size_t length);

  // The body's characters, zero-terminated. Valid until the response changes.
  char* get_response();
  const std::string& body() const { return response; }
  long get_status() const { return status; }
  std::string get_request() const { return request; }

 private:
  std::string request;
  long status = 0;
  std::string response;
};

// Bounds of one transfer, so that no request can hang forever or fill the
// memory. The defaults suit real servers; the environment variables
// QM_HTTP_STALL_SECONDS and QM_HTTP_MAX_REPLY_BYTES replace the stall time
// and the body cap (used by the tests).
struct HTTPLimits {
  long connect_timeout_s = 15;
  long low_speed_bytes = 1;   // abort when slower than this ...
  long low_speed_time_s = 60; // ... for this long
  size_t max_body = size_t{128} << 20;

  static HTTPLimits FromEnvironment();
};

class HTTPRequest {
 public:
  // GETs `url` with `params` appended as "?name=value&name=value&..." in
  // the map's order, values as given (no percent-encoding). Any HTTP status
  // is a result; a failed transfer throws std::runtime_error with libcurl's
  // description of the error.
  static HTTPResponse GET(const std::string& url, const std::map<std::string, std::string>& params);
  static HTTPResponse GET(const std::string& url, const std::map<std::string, std::string>& params,
                          const HTTPLimits& limits);

  // The URL text GET requests for these arguments.
  static std::string BuildURL(const std::string& url, const std::map<std::string, std::string>& params);
};

// HTTP transport over libcurl. TLS peers are verified (certificate and host
// name); a private certificate authority is named with CURL_CA_BUNDLE.
#include "HTTPRequest.h"

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <stdexcept>

#include "Log.h"

HTTPResponse::HTTPResponse(const std::string& request_url) : request(request_url) {}

void HTTPResponse::set_status(long value) { status = value; }

void HTTPResponse::process(const char* data, size_t length) { response.append(data, length); }

char* HTTPResponse::get_response() { return response.data(); }

namespace {

// Reads a positive number from the environment; `fallback` when unset or
// not a positive decimal number.
unsigned long long sEnvNumber(const char* name, unsigned long long fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || value == 0) return fallback;
  return value;
}

struct Transfer {
  HTTPResponse* response;
  size_t max_body;
  bool too_large = false;
};

size_t _rcv_data(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const size_t bytes = size * count;
  Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.*s]\n", static_cast<int>(size),
           static_cast<int>(count), static_cast<unsigned>(reinterpret_cast<uintptr_t>(transfer->response)),
           static_cast<int>(std::min<size_t>(bytes, 100)), data);
  if (transfer->response->body().size() + bytes > transfer->max_body) {
    // Returning less than offered makes libcurl end the transfer with an error.
    transfer->too_large = true;
    Log::log(DEBUG_ServerComm, "rcv_data: reply exceeds %zu bytes, aborting\n", transfer->max_body);
    return 0;
  }
  transfer->response->process(data, bytes);
  Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(bytes));
  return bytes;
}

void sGlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

HTTPLimits HTTPLimits::FromEnvironment() {
  HTTPLimits limits;
  limits.low_speed_time_s = static_cast<long>(
      std::min<unsigned long long>(sEnvNumber("QM_HTTP_STALL_SECONDS", limits.low_speed_time_s), 86400));
  limits.max_body = static_cast<size_t>(sEnvNumber("QM_HTTP_MAX_REPLY_BYTES", limits.max_body));
  return limits;
}

std::string HTTPRequest::BuildURL(const std::string& url, const std::map<std::string, std::string>& params) {
  std::string text = url;
  if (!params.empty()) text += "?";
  for (const auto& [name, value] : params) text += name + "=" + value + "&";
  return text;
}

HTTPResponse HTTPRequest::GET(const std::string& url, const std::map<std::string, std::string>& params) {
  return GET(url, params, HTTPLimits::FromEnvironment());
}

HTTPResponse HTTPRequest::GET(const std::string& url, const std::map<std::string, std::string>& params,
                              const HTTPLimits& limits) {
  sGlobalInit();
  CURL* curl = curl_easy_init();
  const std::string text = BuildURL(url, params);
  HTTPResponse response(text);
  if (curl == nullptr) throw std::runtime_error("Could not create curl instance");

  Transfer transfer{&response, limits.max_body};
  char detail[CURL_ERROR_SIZE] = "";
  const char* ca_bundle = std::getenv("CURL_CA_BUNDLE");

  CURLcode rc = curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, _rcv_data);
  if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
  if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_URL, text.c_str());
  if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYSTATUS, 0L);
  if (rc == CURLE_OK && ca_bundle != nullptr && *ca_bundle != '\0')
    rc = curl_easy_setopt(curl, CURLOPT_CAINFO, ca_bundle);
  // The server is reached over HTTP or HTTPS only, and never waited for
  // without end: connect time-out, a minimum speed and a body cap.
  if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, limits.connect_timeout_s);
  if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, limits.low_speed_bytes);
  if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, limits.low_speed_time_s);
  if (rc == CURLE_OK)
    rc = curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.max_body));
  if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, detail);
  if (rc == CURLE_OK) {
    Log::log(DEBUG_ServerComm, "GET(%s)\n", text.c_str());
    rc = curl_easy_perform(curl);
  }
  long status = 0;
  if (rc == CURLE_OK) rc = curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(curl);

  if (rc != CURLE_OK) {
    if (transfer.too_large)
      Log::log(DEBUG_ServerComm, "GET(%s) failed: reply larger than %zu bytes\n", text.c_str(), limits.max_body);
    else if (detail[0] != '\0')
      Log::log(DEBUG_ServerComm, "GET(%s) failed: %s\n", text.c_str(), detail);
    throw std::runtime_error(curl_easy_strerror(rc));
  }
  response.set_status(status);
  return response;
}

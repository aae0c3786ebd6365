#include "HTTPRequest.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

// A small HTTP server on 127.0.0.1 for the transport's own behaviour.
class LocalServer {
 public:
  LocalServer() {
    server_.set_keep_alive_timeout(1);
    server_.Get("/status", [](const httplib::Request& req, httplib::Response& res) {
      res.status = std::stoi(req.get_param_value("code"));
      res.set_content("body of " + req.target, "text/plain");
    });
    server_.Get("/echo", [](const httplib::Request& req, httplib::Response& res) {
      res.set_content(req.target, "text/plain");
    });
    server_.Get("/big", [](const httplib::Request& req, httplib::Response& res) {
      res.set_content(std::string(std::stoul(req.get_param_value("n")), 'B'), "text/plain");
    });
    server_.Get("/bigchunked", [](const httplib::Request& req, httplib::Response& res) {
      const size_t n = std::stoul(req.get_param_value("n"));
      res.set_chunked_content_provider("text/plain", [n](size_t offset, httplib::DataSink& sink) {
        static const std::string block(4096, 'C');
        if (offset >= n) {
          sink.done();
          return true;
        }
        return sink.write(block.data(), std::min(block.size(), n - offset));
      });
    });
    server_.Get("/stall", [this](const httplib::Request&, httplib::Response& res) {
      res.set_chunked_content_provider("text/plain", [this](size_t, httplib::DataSink& sink) {
        sink.write("ok\n", 3);
        while (!stopping_) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        sink.done();
        return true;
      });
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~LocalServer() {
    stopping_ = true;
    server_.stop();
    thread_.join();
  }
  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

 private:
  httplib::Server server_;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  int port_ = 0;
};

std::string ErrorOf(const std::string& url, const HTTPLimits& limits = {}) {
  try {
    HTTPRequest::GET(url, {}, limits);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "no error";
}

TEST(HTTPRequest, UrlCarriesParametersInNameOrderWithTrailingAmpersand) {
  EXPECT_EQ(HTTPRequest::BuildURL("http://h/cgi/u", {}), "http://h/cgi/u");
  EXPECT_EQ(HTTPRequest::BuildURL("http://h/cgi/u", {{"rv", "2"}, {"op", "hi"}}), "http://h/cgi/u?op=hi&rv=2&");
  // Values go out as given: callers pass them encoded already.
  EXPECT_EQ(HTTPRequest::BuildURL("u", {{"fp", "A%20B"}, {"B", "x"}}), "u?B=x&fp=A%20B&");

  LocalServer server;
  HTTPResponse response = HTTPRequest::GET(server.url("/echo"), {{"op", "hi"}, {"rv", "2"}});
  EXPECT_EQ(response.get_status(), 200);
  EXPECT_EQ(response.body(), "/echo?op=hi&rv=2&");
  EXPECT_EQ(response.get_request(), server.url("/echo?op=hi&rv=2&"));
}

TEST(HTTPRequest, AnyStatusIsAResult) {
  LocalServer server;
  for (int code : {404, 500}) {
    HTTPResponse response = HTTPRequest::GET(server.url("/status"), {{"code", std::to_string(code)}});
    EXPECT_EQ(response.get_status(), code);
    EXPECT_EQ(std::string(response.get_response()), "body of /status?code=" + std::to_string(code) + "&");
  }
}

TEST(HTTPRequest, TransferFailuresThrowLibcurlsText) {
  int closed_port;
  {
    LocalServer gone;
    closed_port = std::stoi(gone.url("").substr(17));
  }
  EXPECT_EQ(ErrorOf("http://127.0.0.1:" + std::to_string(closed_port) + "/"), "Couldn't connect to server");
  EXPECT_EQ(ErrorOf("file:///etc/passwd"), "Unsupported protocol");
  EXPECT_EQ(ErrorOf("gopher://127.0.0.1/"), "Unsupported protocol");
}

TEST(HTTPRequest, RepliesOverTheCapFail) {
  LocalServer server;
  HTTPLimits limits;
  limits.max_body = 10000;
  EXPECT_EQ(HTTPRequest::GET(server.url("/big?n=10000"), {}, limits).body().size(), 10000u);
  // A declared length over the cap is refused up front, a streamed one as it arrives.
  EXPECT_EQ(ErrorOf(server.url("/big?n=10001"), limits), "Maximum file size exceeded");
  EXPECT_EQ(HTTPRequest::GET(server.url("/bigchunked?n=10000"), {}, limits).body().size(), 10000u);
  EXPECT_EQ(ErrorOf(server.url("/bigchunked?n=50000"), limits), "Failed writing received data to disk/application");
}

TEST(HTTPRequest, StalledReplyIsAbandoned) {
  LocalServer server;
  HTTPLimits limits;
  limits.low_speed_time_s = 1;
  EXPECT_EQ(ErrorOf(server.url("/stall"), limits), "Timeout was reached");
}

TEST(HTTPRequest, LimitsComeFromTheEnvironment) {
  setenv("QM_HTTP_STALL_SECONDS", "7", 1);
  setenv("QM_HTTP_MAX_REPLY_BYTES", "12345", 1);
  HTTPLimits limits = HTTPLimits::FromEnvironment();
  EXPECT_EQ(limits.low_speed_time_s, 7);
  EXPECT_EQ(limits.max_body, 12345u);
  setenv("QM_HTTP_STALL_SECONDS", "0", 1);
  setenv("QM_HTTP_MAX_REPLY_BYTES", "lots", 1);
  limits = HTTPLimits::FromEnvironment();
  EXPECT_EQ(limits.low_speed_time_s, HTTPLimits{}.low_speed_time_s);
  EXPECT_EQ(limits.max_body, HTTPLimits{}.max_body);
  unsetenv("QM_HTTP_STALL_SECONDS");
  unsetenv("QM_HTTP_MAX_REPLY_BYTES");
}

TEST(HTTPRequest, ConcurrentRequestsAreIndependent) {
  LocalServer server;
  std::vector<std::thread> threads;
  std::vector<std::string> bodies(4);
  for (size_t i = 0; i < bodies.size(); ++i)
    threads.emplace_back([&, i] { bodies[i] = HTTPRequest::GET(server.url("/echo"), {{"n", std::to_string(i)}}).body(); });
  for (auto& t : threads) t.join();
  for (size_t i = 0; i < bodies.size(); ++i) EXPECT_EQ(bodies[i], "/echo?n=" + std::to_string(i) + "&");
}

}  // namespace

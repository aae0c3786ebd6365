// Emulated update server: answers the update server's query interface at
// /cgi/u from an UpdateRepository, over HTTP or HTTPS, and can be told to
// misbehave per operation so that clients can be tested against broken
// replies.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "UpdateRepository.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}

namespace updateserver {

enum class Fault {
  None,
  Http500,   // status 500
  NotOk,     // first line "error"
  Empty,     // empty body
  Stall,     // "ok" line, then nothing until the client gives up
  Truncate,  // the Base64 line of an image loses its tail; other replies keep the first line only
  Junk,      // "ok" and a line of binary bytes
  Huge,      // "ok" and one very long line
};
// "http500", "notok", "empty", "stall", "truncate", "junk", "huge".
std::optional<Fault> faultFromName(const std::string& name);

struct ServerOptions {
  std::string repository;
  std::string host = "127.0.0.1";
  int port = 0;  // 0: any free port
  std::string cert_file;  // with key_file: HTTPS
  std::string key_file;
  std::map<std::string, Fault> faults;  // by operation ("hi", "qu", "bird", ...; "*" for all)
  size_t huge_bytes = size_t{16} << 20;
  int stall_seconds = 300;
};

// A reply before any misbehaviour is applied.
struct Reply {
  int status = 200;
  std::string body;
};

class UpdateServer {
 public:
  explicit UpdateServer(ServerOptions options);
  ~UpdateServer();
  UpdateServer(const UpdateServer&) = delete;
  UpdateServer& operator=(const UpdateServer&) = delete;

  // Binds and serves on a thread of its own. False when the socket can't be
  // bound or the certificate can't be loaded.
  bool start();
  void stop();
  int port() const { return port_; }
  std::string url() const;

  // Called with "GET <target>" as each request arrives.
  void setRequestLog(std::function<void(const std::string&)> log);
  // Targets (path and query, as sent) of every request so far.
  std::vector<std::string> requests() const;

  // The answer to one query, given its decoded parameters.
  Reply answer(const std::multimap<std::string, std::string>& params) const;

 private:
  void handle(const httplib::Request& request, httplib::Response& response);

  ServerOptions options_;
  UpdateRepository repository_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> listening_done_{false};
  int port_ = 0;
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  std::function<void(const std::string&)> log_;
};

}  // namespace updateserver

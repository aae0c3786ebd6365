// The emulated update server's request handling.
#include "UpdateServer.h"

#include <httplib.h>

#include <chrono>
#include <cstdio>

#include "base64.h"

namespace updateserver {
namespace {

std::string sParam(const std::multimap<std::string, std::string>& params, const std::string& name) {
  const auto it = params.find(name);
  return it == params.end() ? std::string() : it->second;
}

std::string sHex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", value);
  return text;
}

Reply sError(const std::string& why) { return {200, "error: " + why + "\n"}; }

bool sReadAll(const std::string& path, std::string& data) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  char buffer[65536];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) data.append(buffer, got);
  const bool ok = !std::ferror(file);
  std::fclose(file);
  return ok;
}

}  // namespace

std::optional<Fault> faultFromName(const std::string& name) {
  static const std::map<std::string, Fault> names = {
      {"none", Fault::None},   {"http500", Fault::Http500},   {"notok", Fault::NotOk}, {"empty", Fault::Empty},
      {"stall", Fault::Stall}, {"truncate", Fault::Truncate}, {"junk", Fault::Junk},   {"huge", Fault::Huge},
  };
  const auto it = names.find(name);
  if (it == names.end()) return std::nullopt;
  return it->second;
}

UpdateServer::UpdateServer(ServerOptions options)
    : options_(std::move(options)), repository_(options_.repository) {}

UpdateServer::~UpdateServer() { stop(); }

std::string UpdateServer::url() const {
  const bool tls = !options_.cert_file.empty();
  return std::string(tls ? "https://" : "http://") + options_.host + ":" + std::to_string(port_) + "/cgi/u";
}

void UpdateServer::setRequestLog(std::function<void(const std::string&)> log) { log_ = std::move(log); }

std::vector<std::string> UpdateServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

Reply UpdateServer::answer(const std::multimap<std::string, std::string>& params) const {
  const std::string op = sParam(params, "op");
  if (op == "hi") return {200, "ok\n"};

  if (op == "fix") {
    // fp carries four hexadecimal words separated by blanks.
    std::array<uint32_t, 4> fingerprint{};
    const std::string fp = sParam(params, "fp");
    size_t pos = 0;
    for (size_t i = 0; i < 4; ++i) {
      const size_t end = fp.find(' ', pos);
      const auto word = parseSerial(fp.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
      if (!word || (i < 3 && end == std::string::npos) || (i == 3 && end != std::string::npos))
        return sError("bad fingerprint");
      fingerprint[i] = *word;
      pos = end + 1;
    }
    const auto found = repository_.recovery(fingerprint);
    if (!found) return sError("no recovery image");
    return {200, "ok\n" + sHex(found->serial) + "\n" + std::to_string(found->build) + "\n"};
  }

  const auto serial = parseSerial(sParam(params, "sn"));
  if (op != "qu" && op != "builds" && op != "bird" && op != "ent_jwt") return sError("unknown operation");
  if (!serial) return sError("bad serial number");

  if (op == "ent_jwt") {
    const auto token = repository_.token(*serial);
    if (!token) return sError("no token for device");
    return {200, "ok\n" + *token + "\n"};
  }

  const auto device = repository_.device(*serial);
  if (!device) return sError("unknown device");

  if (op == "qu") {
    if (device->current == 0) return sError("no build for device");
    return {200, "ok\n" + std::to_string(device->current) + "\n" + device->firmware + "\n"};
  }
  if (op == "builds") {
    std::string body = "ok\n";
    for (const auto& build : device->builds) body += std::to_string(build.number) + ";" + build.version + "\n";
    return {200, body};
  }
  // op == "bird"
  if (sParam(params, "fw") != device->firmware) return sError("unknown firmware");
  const std::string wanted = sParam(params, "bld");
  for (const auto& build : device->builds) {
    if (std::to_string(build.number) != wanted) continue;
    std::string data;
    if (!sReadAll(build.path, data)) return sError("cannot read build");
    size_t length = 0;
    char* text = base64_encode(data.data(), data.size(), &length);
    if (text == nullptr) return sError("out of memory");
    std::string body = "ok\n" + std::string(text, length) + "\n";
    std::free(text);
    return {200, body};
  }
  return sError("unknown build");
}

void UpdateServer::handle(const httplib::Request& request, httplib::Response& response) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request.target);
  }
  if (log_) log_("GET " + request.target);

  const std::string op = sParam(request.params, "op");
  Fault fault = Fault::None;
  if (auto it = options_.faults.find(op); it != options_.faults.end())
    fault = it->second;
  else if (auto all = options_.faults.find("*"); all != options_.faults.end())
    fault = all->second;

  switch (fault) {
    case Fault::Http500:
      response.status = 500;
      response.set_content("error: internal server error\n", "text/plain");
      return;
    case Fault::NotOk:
      response.set_content("error: request refused\n", "text/plain");
      return;
    case Fault::Empty:
      response.set_content("", "text/plain");
      return;
    case Fault::Junk: {
      static const char junk[] = "ok\n\x01\xff\xfe;\x00.\x80\r\x7f=*\x00\x00.\xc3\x28;;\n";
      response.set_content(std::string(junk, sizeof junk - 1), "text/plain");
      return;
    }
    case Fault::Stall:
      response.set_chunked_content_provider("text/plain", [this](size_t, httplib::DataSink& sink) {
        sink.write("ok\n", 3);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(options_.stall_seconds);
        while (!stopping_ && std::chrono::steady_clock::now() < until)
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
        sink.done();
        return true;
      });
      return;
    case Fault::Huge:
      // Streamed without a length, so the client learns the size only by reading.
      response.set_chunked_content_provider("text/plain", [this](size_t offset, httplib::DataSink& sink) {
        static const std::string block(65536, 'A');
        if (offset == 0) return sink.write("ok\n", 3);
        const size_t sent = offset - 3;
        if (stopping_ || sent >= options_.huge_bytes) {
          sink.write("\n", 1);
          sink.done();
          return true;
        }
        return sink.write(block.data(), std::min(block.size(), options_.huge_bytes - sent));
      });
      return;
    case Fault::None:
    case Fault::Truncate:
      break;
  }

  Reply reply = answer(request.params);
  if (fault == Fault::Truncate) {
    const size_t first = reply.body.find('\n');
    if (op == "bird" && first != std::string::npos && reply.body.size() > first + 4) {
      // Cut three characters off the Base64 line, keeping its newline.
      reply.body.erase(reply.body.size() - 4, 3);
    } else if (first != std::string::npos) {
      reply.body.resize(first + 1);
    }
  }
  response.status = reply.status;
  response.set_content(reply.body, "text/plain");
}

bool UpdateServer::start() {
  if (server_) return false;
  if (!options_.cert_file.empty() || !options_.key_file.empty()) {
    auto tls = std::make_unique<httplib::SSLServer>(options_.cert_file.c_str(), options_.key_file.c_str());
    if (!tls->is_valid()) return false;
    server_ = std::move(tls);
  } else {
    server_ = std::make_unique<httplib::Server>();
  }
  // Short keep-alive waits so that stop() returns promptly.
  server_->set_keep_alive_timeout(1);
  server_->Get("/cgi/u", [this](const httplib::Request& request, httplib::Response& response) {
    handle(request, response);
  });
  if (options_.port == 0) {
    port_ = server_->bind_to_any_port(options_.host.c_str());
    if (port_ <= 0) {
      server_.reset();
      return false;
    }
  } else {
    if (!server_->bind_to_port(options_.host.c_str(), options_.port)) {
      server_.reset();
      return false;
    }
    port_ = options_.port;
  }
  listening_done_ = false;
  thread_ = std::thread([this] {
    server_->listen_after_bind();
    listening_done_ = true;
  });
  return true;
}

void UpdateServer::stop() {
  stopping_ = true;
  if (server_ && thread_.joinable()) {
    // stop() only takes effect once the accept loop runs.
    while (!listening_done_ && !server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    server_->stop();
  }
  if (thread_.joinable()) thread_.join();
  server_.reset();
}

}  // namespace updateserver

// Serves files from the root folder. The control file (JSON, re-read on every
// request) can make one path misbehave:
//   {"/files/a.bin": {"status": 404}, "/x": {"mode": "chunked"},
//    "/y": {"mode": "redirect", "location": "/files/a.bin"}}
// modes: "chunked" (no Content-Length), "lowercase" (header "content-length"),
// "blanks" (Content-Length with blanks around the digits), "redirect", "cut"
// (announces the whole size, sends half, closes cleanly), "slow" (announces
// the size, then sends 4 KiB chunks with pauses), "trickle" (announces the
// size, then sends one byte every "pause_ms", default 500).
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "routes.h"

namespace LocalServer {
namespace {

struct Behaviour {
  int status = 200;
  std::string mode;
  std::string location;
  int pauseMs = 500;
};

Behaviour BehaviourFor(const Options& options, const std::string& path) {
  Behaviour behaviour;
  if (options.control.empty()) return behaviour;
  std::ifstream file(options.control);
  if (!file) return behaviour;
  const nlohmann::json control = nlohmann::json::parse(file, nullptr, false);
  if (!control.is_object() || !control.contains(path)) return behaviour;
  const auto& entry = control[path];
  behaviour.status = entry.value("status", 200);
  behaviour.mode = entry.value("mode", "");
  behaviour.location = entry.value("location", "");
  behaviour.pauseMs = entry.value("pause_ms", 500);
  return behaviour;
}

// Streams [0, limit) of the file; stops (closing the connection) at `limit`
// when that is less than the size announced.
httplib::ContentProviderWithoutLength Reader(const std::string& path, size_t limit, size_t chunk) {
  auto file = std::make_shared<std::ifstream>(path, std::ios::binary);
  auto sent = std::make_shared<size_t>(0);
  return [=](size_t, httplib::DataSink& sink) {
    if (*sent >= limit) {
      sink.done();
      return true;
    }
    std::string buffer(std::min(chunk, limit - *sent), '\0');
    file->read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    buffer.resize(static_cast<size_t>(file->gcount()));
    if (buffer.empty()) {
      sink.done();
      return true;
    }
    *sent += buffer.size();
    return sink.write(buffer.data(), buffer.size());
  };
}

void Serve(const Options& options, const httplib::Request& request, httplib::Response& response) {
  const std::string& path = request.path;
  const Behaviour behaviour = BehaviourFor(options, path);
  if (behaviour.mode == "redirect") {
    response.set_redirect(behaviour.location, behaviour.status == 200 ? 302 : behaviour.status);
    return;
  }
  const std::filesystem::path file = std::filesystem::path(options.root) / path.substr(1);
  std::error_code error;
  if (path.find("..") != std::string::npos || !std::filesystem::is_regular_file(file, error)) {
    response.status = behaviour.status == 200 ? 404 : behaviour.status;
    response.set_content("not found", "text/plain");
    return;
  }
  const size_t size = std::filesystem::file_size(file);
  response.status = behaviour.status;
  const std::string type = "application/octet-stream";
  constexpr size_t kChunk = 1 << 20;
  if (behaviour.mode == "chunked") {
    response.set_chunked_content_provider(type, Reader(file, size, kChunk));
  } else if (behaviour.mode == "lowercase" || behaviour.mode == "blanks") {
    // The library writes chunked framing for a provider without length; the
    // announced size is then only in the header under test.
    response.set_header(behaviour.mode == "lowercase" ? "content-length" : "X-Size", std::to_string(size));
    if (behaviour.mode == "blanks") response.set_header("Content-Length", "  " + std::to_string(size) + "  ");
    response.set_chunked_content_provider(type, Reader(file, size, kChunk));
  } else {
    // "cut" stops after half: the provider fails and the connection closes
    // without an error, short of the size announced.
    const size_t limit = behaviour.mode == "cut" ? size / 2 : size;
    const bool slow = behaviour.mode == "slow";
    const bool trickle = behaviour.mode == "trickle";
    const size_t chunk = trickle ? 1 : slow ? 4096 : kChunk;
    const auto pause = std::chrono::milliseconds(trickle ? behaviour.pauseMs : slow ? 20 : 0);
    auto stream = std::make_shared<std::ifstream>(file, std::ios::binary);
    response.set_content_provider(size, type, [=](size_t offset, size_t length, httplib::DataSink& sink) {
      if (offset >= limit) return false;
      if (pause.count() > 0) std::this_thread::sleep_for(pause);
      std::string buffer(std::min({length, limit - offset, chunk}), '\0');
      stream->seekg(static_cast<std::streamoff>(offset));
      stream->read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
      return sink.write(buffer.data(), static_cast<size_t>(stream->gcount()));
    });
  }
}

}  // namespace

void AddUpdateRoutes(httplib::Server& server, const Options& options) {
  server.Get(R"(/.*)", [&options](const httplib::Request& request, httplib::Response& response) {
    Serve(options, request, response);
  });
}

}  // namespace LocalServer

#include "ingest_routes.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>

namespace LocalServer {
namespace {

namespace fs = std::filesystem;

// Splits an envelope into its header and items; throws on anything that is
// not one (bad JSON, an item longer than the body).
nlohmann::json Describe(const std::string& body) {
  size_t end = body.find('\n');
  if (end == std::string::npos) throw std::runtime_error("no header line");
  nlohmann::json description = {{"header", nlohmann::json::parse(body.substr(0, end))},
                                {"items", nlohmann::json::array()}};
  size_t at = end + 1;
  while (at < body.size()) {
    end = body.find('\n', at);
    if (end == std::string::npos) throw std::runtime_error("item without header");
    nlohmann::json header = nlohmann::json::parse(body.substr(at, end - at));
    const size_t length = header.at("length").get<size_t>();
    if (end + 1 + length > body.size()) throw std::runtime_error("item longer than the body");
    const std::string payload = body.substr(end + 1, length);
    nlohmann::json item = {{"header", header}};
    if (header.at("type") == "event") {
      item["payload"] = nlohmann::json::parse(payload);
    } else {
      item["size"] = payload.size();
      item["starts_with"] = payload.substr(0, std::min<size_t>(4, payload.size()));
    }
    description["items"].push_back(std::move(item));
    at = end + 1 + length;
    if (at < body.size() && body[at] == '\n') ++at;
  }
  return description;
}

// The answer the control file asks for at `path`: status and headers.
struct Answer {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
};

Answer AnswerFor(const IngestOptions& options, const std::string& path) {
  Answer answer;
  if (options.control.empty()) return answer;
  std::ifstream file(options.control);
  if (!file) return answer;
  const nlohmann::json control = nlohmann::json::parse(file, nullptr, false);
  if (!control.is_object() || !control.contains(path) || !control[path].is_object()) return answer;
  const nlohmann::json& entry = control[path];
  answer.status = entry.value("status", 200);
  if (entry.contains("headers") && entry["headers"].is_object()) {
    for (const auto& [name, value] : entry["headers"].items()) {
      if (value.is_string()) answer.headers.emplace_back(name, value.get<std::string>());
    }
  }
  return answer;
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

}  // namespace

void RegisterIngestRoutes(httplib::Server& server, const IngestOptions& options) {
  fs::create_directories(options.folder);
  auto lock = std::make_shared<std::mutex>();
  auto counter = std::make_shared<std::atomic<int>>(0);

  server.Post(R"(/api/([^/]+)/envelope/)",
              [options, lock, counter](const httplib::Request& request, httplib::Response& response) {
                if (request.matches[1] != options.projectId) {
                  response.status = 404;
                  return;
                }
                const std::string auth = request.get_header_value("X-Sentry-Auth");
                if (auth.find("sentry_key=" + options.publicKey) == std::string::npos ||
                    auth.find("sentry_version=7") == std::string::npos) {
                  response.status = 401;
                  response.set_content(R"({"detail":"invalid key"})", "application/json");
                  return;
                }
                const Answer answer = AnswerFor(options, request.path);
                for (const auto& [name, value] : answer.headers) response.set_header(name, value);
                if (answer.status != 200) {
                  response.status = answer.status;
                  response.set_content(R"({"detail":"told to refuse"})", "application/json");
                  return;
                }
                std::string eventId;
                try {
                  eventId = Describe(request.body).at("header").at("event_id").get<std::string>();
                } catch (const std::exception& error) {
                  response.status = 400;
                  response.set_content(nlohmann::json{{"detail", error.what()}}.dump(), "application/json");
                  return;
                }
                {
                  std::lock_guard guard(*lock);
                  char name[64];
                  std::snprintf(name, sizeof name, "%06d-", (*counter)++);
                  std::ofstream(options.folder / (name + eventId + ".envelope"), std::ios::binary) << request.body;
                }
                response.set_content(nlohmann::json{{"id", eventId}}.dump(), "application/json");
              });

  server.Get("/ingest/envelopes", [options, lock](const httplib::Request&, httplib::Response& response) {
    std::lock_guard guard(*lock);
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(options.folder)) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    nlohmann::json list = nlohmann::json::array();
    for (const fs::path& file : files) {
      nlohmann::json description = Describe(ReadAll(file));
      description["file"] = file.filename().string();
      list.push_back(std::move(description));
    }
    response.set_content(list.dump(), "application/json");
  });

  server.Delete("/ingest/envelopes", [options, lock](const httplib::Request&, httplib::Response&) {
    std::lock_guard guard(*lock);
    for (const auto& entry : fs::directory_iterator(options.folder)) fs::remove(entry.path());
  });
}

}  // namespace LocalServer

// Local update server for tests and the demo: serves a folder over HTTPS on
// loopback (address it as "localhost": the certificate names that host),
// misbehaves on request per path (see update_routes.cpp) and takes crash
// reports like the reporting service (see ingest_routes.h).
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "ingest_routes.h"
#include "routes.h"

namespace {

httplib::Server* running = nullptr;
void Stop(int) {
  if (running != nullptr) running->stop();
}

std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Fills in the certificate of a CA folder, making the CA first when needed.
void UseCaFolder(LocalServer::Options& options) {
  namespace fs = std::filesystem;
  const fs::path folder = options.caFolder;
  if (!fs::exists(folder / "server.pem") || !fs::exists(folder / "server.key")) {
    const std::string command = Quoted(VALDRIX_MAKE_TEST_CERTS) + " " + Quoted(folder.string()) + " >&2";
    if (std::system(command.c_str()) != 0) {
      throw std::runtime_error("cannot make the test CA in " + folder.string());
    }
  }
  options.certificate = (folder / "server.pem").string();
  options.privateKey = (folder / "server.key").string();
}

LocalServer::IngestOptions IngestOptionsOf(const LocalServer::Options& options) {
  LocalServer::IngestOptions ingest;
  ingest.projectId = options.ingestProject;
  ingest.publicKey = options.ingestKey;
  ingest.folder = options.ingestFolder;
  ingest.control = options.control;
  if (ingest.folder.empty()) {
    ingest.folder = std::filesystem::temp_directory_path() /
                    ("valdrix-ingest-" + std::to_string(options.port) + "-" + std::to_string(::getpid()));
  }
  return ingest;
}

}  // namespace

int main(int argc, char** argv) {
  LocalServer::Options options;
  try {
    options = LocalServer::ParseOptions(argc, argv);
    if (options.help) {
      std::fputs(LocalServer::kUsage, stdout);
      return 0;
    }
    if (!options.caFolder.empty()) UseCaFolder(options);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "local_update_server: %s\n%s", error.what(), LocalServer::kUsage);
    return 2;
  }
  std::unique_ptr<httplib::Server> server;
  if (options.certificate.empty()) {
    server = std::make_unique<httplib::Server>();
  } else {
    server = std::make_unique<httplib::SSLServer>(options.certificate.c_str(), options.privateKey.c_str());
  }
  if (!server->is_valid()) {
    std::fprintf(stderr, "cannot set up the server (certificate or key unreadable?)\n");
    return 1;
  }
  // The line is written once the status is known and before the response
  // goes out, so a client that has its answer finds the line in the log.
  server->set_post_routing_handler([&options](const httplib::Request& request, httplib::Response& response) {
    LocalServer::LogRequest(options, request.method, request.path, response.status);
  });
  // Ingest first: the update routes answer every other GET.
  try {
    LocalServer::RegisterIngestRoutes(*server, IngestOptionsOf(options));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "cannot prepare the ingest folder: %s\n", error.what());
    return 1;
  }
  LocalServer::AddUpdateRoutes(*server, options);
  if (!server->bind_to_port(options.host, options.port)) {
    std::fprintf(stderr, "cannot listen on %s:%d\n", options.host.c_str(), options.port);
    return 1;
  }
  running = server.get();
  std::signal(SIGTERM, Stop);
  std::signal(SIGINT, Stop);
  std::printf("listening on %s:%d\n", options.host.c_str(), options.port);
  std::fflush(stdout);
  const bool served = server->listen_after_bind();
  // The handlers must not reach the server once it is gone.
  std::signal(SIGTERM, SIG_DFL);
  std::signal(SIGINT, SIG_DFL);
  running = nullptr;
  return served ? 0 : 1;
}

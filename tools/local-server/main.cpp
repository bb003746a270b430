// Local update server for tests and the demo: serves a folder over HTTPS on
// loopback (address it as "localhost": the certificate names that host), and
// misbehaves on request per path (see update_routes.cpp).
#include <csignal>
#include <cstdio>
#include <memory>
#include <stdexcept>

#include "routes.h"

namespace {
httplib::Server* running = nullptr;
void Stop(int) {
  if (running != nullptr) running->stop();
}
}  // namespace

int main(int argc, char** argv) {
  LocalServer::Options options;
  try {
    options = LocalServer::ParseOptions(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr,
                 "%s\nusage: local_update_server --root DIR [--port N] [--host A] [--cert PEM --key PEM]"
                 " [--control JSON] [--log FILE]\n",
                 error.what());
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
  LocalServer::AddUpdateRoutes(*server, options);
  LocalServer::AddIngestRoutes(*server, options);
  if (!server->bind_to_port(options.host, options.port)) {
    std::fprintf(stderr, "cannot listen on %s:%d\n", options.host.c_str(), options.port);
    return 1;
  }
  running = server.get();
  std::signal(SIGTERM, Stop);
  std::signal(SIGINT, Stop);
  std::printf("listening on %s:%d\n", options.host.c_str(), options.port);
  std::fflush(stdout);
  return server->listen_after_bind() ? 0 : 1;
}

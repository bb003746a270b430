// A loopback stand-in for the reporting service (plain HTTP), for the
// end-to-end tests: ingest-server <port> <folder> [project] [key]
#include <cstdio>
#include <cstdlib>

#include "ingest_routes.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s <port> <folder> [project] [key]\n", argv[0]);
    return 2;
  }
  LocalServer::IngestOptions options;
  options.folder = argv[2];
  if (argc > 3) options.projectId = argv[3];
  if (argc > 4) options.publicKey = argv[4];
  char* end = nullptr;
  const long port = std::strtol(argv[1], &end, 10);
  if (end == argv[1] || *end != '\0' || port <= 0 || port > 65535) {
    std::fprintf(stderr, "invalid port %s\n", argv[1]);
    return 2;
  }
  httplib::Server server;
  LocalServer::RegisterIngestRoutes(server, options);
  if (!server.listen("127.0.0.1", static_cast<int>(port))) {
    std::fprintf(stderr, "cannot listen on port %s\n", argv[1]);
    return 1;
  }
  return 0;
}

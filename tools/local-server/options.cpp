#include "options.h"

#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>

namespace LocalServer {

const char* const kUsage =
    "usage: local_update_server --root DIR [--port N] [--host A] [--cert PEM --key PEM | --ca-dir DIR]\n"
    "                           [--control JSON] [--log FILE] [--ingest-dir DIR] [--ingest-project ID]\n"
    "                           [--ingest-key KEY]\n"
    "  --root DIR          folder served over GET (manifest, files, /api/signkey)\n"
    "  --cert, --key       HTTPS with this certificate and key (PEM); without them and\n"
    "                      without --ca-dir the server speaks plain HTTP\n"
    "  --ca-dir DIR        HTTPS with DIR/server.pem and DIR/server.key, signed by the test\n"
    "                      CA DIR/ca.der; all of them are made when missing\n"
    "  --control JSON      misbehaviour per path (chunked, lowercase, blanks, redirect, cut, slow);\n"
    "                      the ingest path takes a status and answer headers (a 429 and Retry-After)\n"
    "  --log FILE          appends \"<method> <path> <status>\" for every request (alias --request-log)\n"
    "  --ingest-dir DIR    crash reports received at POST /api/<project>/envelope/\n"
    "  --ingest-project ID, --ingest-key KEY   the accepted project id and public key\n";

namespace {

int ParsePort(const std::string& value) {
  size_t used = 0;
  int port = 0;
  try {
    port = std::stoi(value, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != value.size() || port <= 0 || port > 65535) {
    throw std::invalid_argument("--port needs a number from 1 to 65535, not \"" + value + "\"");
  }
  return port;
}

}  // namespace

Options ParseOptions(int argc, char** argv) {
  // The options that take a text as it is.
  static const std::map<std::string, std::string Options::*> kTexts = {{"--host", &Options::host},
                                                                       {"--root", &Options::root},
                                                                       {"--cert", &Options::certificate},
                                                                       {"--key", &Options::privateKey},
                                                                       {"--ca-dir", &Options::caFolder},
                                                                       {"--control", &Options::control},
                                                                       {"--log", &Options::log},
                                                                       {"--request-log", &Options::log},
                                                                       {"--ingest-dir", &Options::ingestFolder},
                                                                       {"--ingest-project", &Options::ingestProject},
                                                                       {"--ingest-key", &Options::ingestKey}};
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--help" || name == "-h") {
      options.help = true;
      return options;
    }
    if (i + 1 >= argc) throw std::invalid_argument("missing value for " + name);
    const std::string value = argv[++i];
    if (name == "--port") {
      options.port = ParsePort(value);
    } else if (const auto text = kTexts.find(name); text != kTexts.end()) {
      options.*(text->second) = value;
    } else {
      throw std::invalid_argument("unknown option " + name);
    }
  }
  if (options.root.empty()) throw std::invalid_argument("--root is required");
  if (options.certificate.empty() != options.privateKey.empty()) {
    throw std::invalid_argument("--cert and --key go together");
  }
  if (!options.certificate.empty() && !options.caFolder.empty()) {
    throw std::invalid_argument("--ca-dir and --cert exclude each other");
  }
  return options;
}

void LogRequest(const Options& options, const std::string& method, const std::string& path, int status) {
  if (options.log.empty()) return;
  static std::mutex lock;
  std::lock_guard guard(lock);
  std::ofstream(options.log, std::ios::app) << method << ' ' << path << ' ' << status << '\n';
}

}  // namespace LocalServer

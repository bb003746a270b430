#include <fstream>
#include <mutex>
#include <stdexcept>

#include "options.h"

namespace LocalServer {

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (i + 1 >= argc) throw std::invalid_argument("missing value for " + name);
    const std::string value = argv[++i];
    if (name == "--host") {
      options.host = value;
    } else if (name == "--port") {
      options.port = std::stoi(value);
    } else if (name == "--root") {
      options.root = value;
    } else if (name == "--cert") {
      options.certificate = value;
    } else if (name == "--key") {
      options.privateKey = value;
    } else if (name == "--control") {
      options.control = value;
    } else if (name == "--log") {
      options.log = value;
    } else {
      throw std::invalid_argument("unknown option " + name);
    }
  }
  if (options.root.empty()) throw std::invalid_argument("--root is required");
  return options;
}

void LogRequest(const Options& options, const std::string& method, const std::string& path, int status) {
  if (options.log.empty()) return;
  static std::mutex lock;
  std::lock_guard guard(lock);
  std::ofstream(options.log, std::ios::app) << method << ' ' << path << ' ' << status << '\n';
}

}  // namespace LocalServer

#pragma once
// Command line of the local update server, shared by its route modules.
#include <string>

namespace LocalServer {

struct Options {
  std::string host = "127.0.0.1";
  int port = 8443;
  std::string root;          // folder served: "/update/v2/windows.json", files, "/api/signkey"
  std::string certificate;   // PEM; empty (and no CA folder): plain HTTP
  std::string privateKey;    // PEM
  std::string caFolder;      // throw-away test CA and "localhost" certificate, made when missing
  std::string control;       // JSON file of misbehaviour per path, re-read on every request
  std::string log;           // one line per request, appended
  std::string ingestFolder;  // crash reports received; empty: a folder per port under the temp folder
  std::string ingestProject = "42";
  std::string ingestKey = "0123456789abcdef0123456789abcdef";
  bool help = false;
};

extern const char* const kUsage;

// Throws std::invalid_argument on an unknown or incomplete option.
Options ParseOptions(int argc, char** argv);

// Appends "<method> <path> <status>" to the request log.
void LogRequest(const Options& options, const std::string& method, const std::string& path, int status);

}  // namespace LocalServer

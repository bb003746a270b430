#pragma once
// The reporting service's ingest endpoint, for tests: accepts envelopes for
// one project and key, keeps each in a folder, and lists what it kept.
#include <httplib.h>

#include <filesystem>
#include <string>

namespace LocalServer {

struct IngestOptions {
  std::string projectId = "42";
  std::string publicKey = "0123456789abcdef0123456789abcdef";
  std::filesystem::path folder;  // received envelopes, one file each
  // Optional JSON file, re-read on every post, that makes the endpoint answer
  // as a struggling service does:
  //   {"/api/42/envelope/": {"status": 429, "headers": {"Retry-After": "3600"}}}
  // Headers go on every answer; a status other than 200 keeps nothing.
  std::filesystem::path control;
};

// POST /api/<project>/envelope/  -> 200 {"id": <event id>} (or as the control
//                                   file says); 401 for another
//                                   key, 404 for another project, 400 for a
//                                   body that is not an envelope.
// GET  /ingest/envelopes          -> JSON array, oldest first: file name,
//                                   header, items (header and, for events,
//                                   the parsed payload; else the size).
// DELETE /ingest/envelopes        -> forgets everything received.
void RegisterIngestRoutes(httplib::Server& server, const IngestOptions& options);

}  // namespace LocalServer

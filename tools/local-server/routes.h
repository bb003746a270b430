#pragma once
// Route modules of the local server. Each adds its handlers to the server.
#include <httplib.h>

#include "options.h"

namespace LocalServer {

// "/update/v2/windows.json", product files and installers, "/api/signkey".
void AddUpdateRoutes(httplib::Server& server, const Options& options);

// Crash-report ingest. A weak default adds nothing; a module that defines this
// function replaces it.
void AddIngestRoutes(httplib::Server& server, const Options& options);

}  // namespace LocalServer

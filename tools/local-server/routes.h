#pragma once
// Route modules of the local server. Each adds its handlers to the server.
#include <httplib.h>

#include "options.h"

namespace LocalServer {

// "/update/v2/windows.json", product files and installers, "/api/signkey":
// every GET not taken by a route added before it.
void AddUpdateRoutes(httplib::Server& server, const Options& options);

}  // namespace LocalServer

#include "routes.h"

namespace LocalServer {

__attribute__((weak)) void AddIngestRoutes(httplib::Server&, const Options&) {}

}  // namespace LocalServer

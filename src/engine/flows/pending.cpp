// Flows that are not part of this build yet. Each fails loudly, so a run ends
// with exit code 1 and an honest message instead of a fake success.
#include <stdexcept>

#include "engine/flows/flows.h"

namespace Flows {
void StartInstall(Setup::Context&, bool) { throw std::runtime_error("The install flow is not available in this build"); }
void StartUninstall(Setup::Context&) { throw std::runtime_error("The uninstall flow is not available in this build"); }
void StartVerify(Setup::Context&) { throw std::runtime_error("The verify flow is not available in this build"); }
}  // namespace Flows

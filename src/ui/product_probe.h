#pragma once
#include "engine/context.h"

namespace Ui {
// Service "Valdrix", task "ValdrixLogon" and the install folder all present.
// Throws when the service manager or the task scheduler fails.
bool IsProductInstalled(const Setup::Context& context);
}  // namespace Ui

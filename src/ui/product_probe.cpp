#include "ui/product_probe.h"

#include "system/files.h"
#include "system/services.h"
#include "system/tasks.h"

namespace Ui {

bool IsProductInstalled(const Setup::Context& context) {
  return Services::IsInstalled(L"Valdrix") && Tasks::Exists(L"ValdrixLogon", L"\\") &&
         DirectoryExists(context.installPath);
}

}  // namespace Ui

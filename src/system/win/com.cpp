#include "system/com.h"

#include <objbase.h>
#include <windows.h>

namespace Com {

int32_t InitializeMultithreaded() { return CoInitializeEx(nullptr, COINIT_MULTITHREADED); }

int32_t InitializeSecurity() {
  return CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_PKT_PRIVACY,
                              RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
}

void Uninitialize() { CoUninitialize(); }

}  // namespace Com

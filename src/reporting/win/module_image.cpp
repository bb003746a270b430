// The running executable's identity, read from its headers as loaded.
#include <windows.h>
// psapi.h needs the types of windows.h first.
#include <psapi.h>

#include <vector>

#include "app/text.h"
#include "reporting/module_image.h"

namespace Reporting {

std::optional<ModuleImage> MainModuleImage() {
  HMODULE module = GetModuleHandleW(nullptr);
  MODULEINFO info{};
  if (!module || !GetModuleInformation(GetCurrentProcess(), module, &info, sizeof(info))) return std::nullopt;
  std::vector<wchar_t> path(32768);
  const DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
  if (length == 0 || length >= path.size()) return std::nullopt;
  return ReadModuleImage(static_cast<const uint8_t*>(info.lpBaseOfDll), info.SizeOfImage,
                         reinterpret_cast<uintptr_t>(info.lpBaseOfDll), Text::ToUtf8({path.data(), length}));
}

}  // namespace Reporting

// The delay-load helper asks this hook before it gives up on a DLL or a
// function. Throwing from here turns the helper's SEH exception, which nothing
// would catch, into a C++ exception that reaches the caller's catch: the run
// then ends through its normal failure path, with the DLL named in the log.
// Linked into the executable itself, so that it replaces the C runtime's empty
// hook whatever the order in which the libraries are searched.
#include <windows.h>

#include <delayimp.h>
#include <fmt/format.h>

#include "system/delay_load.h"

namespace {

FARPROC WINAPI ThrowDelayLoadError(unsigned notification, PDelayLoadInfo info) {
  const int error = static_cast<int>(info->dwLastError);
  if (notification == dliFailLoadLib) {
    throw Platform::DelayLoadError(error, std::system_category(), fmt::format("Unable to load {}", info->szDll));
  }
  if (notification == dliFailGetProc) {
    const std::string function =
        info->dlp.fImportByName ? std::string(info->dlp.szProcName) : fmt::format("ordinal {}", info->dlp.dwOrdinal);
    throw Platform::DelayLoadError(error, std::system_category(),
                                   fmt::format("Unable to find {} in {}", function, info->szDll));
  }
  return nullptr;
}

}  // namespace

extern "C" {
PfnDliHook __pfnDliFailureHook2 = ThrowDelayLoadError;
}

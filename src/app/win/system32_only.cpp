// The first thing the process does, before the C runtime and the static
// initialisers: every DLL loaded by name from now on (delay loads, LoadLibrary
// and what those DLLs import in turn) comes from System32, never from the
// folder the setup was started from, which is usually the user's downloads.
// The static imports are loaded before this runs; all of them are KnownDLLs.
#include <windows.h>

namespace {

void NTAPI SearchSystem32Only(PVOID, DWORD reason, PVOID) {
  if (reason != DLL_PROCESS_ATTACH) return;
  if (SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
  // Every supported Windows has the call, so this does not happen. No log is
  // open and no reporter runs yet, and loading anything to tell of it would be
  // the very risk: end at once, with the Windows error as the exit code.
  TerminateProcess(GetCurrentProcess(), GetLastError());
}

}  // namespace

// The C runtime's TLS callbacks lie in .CRT$XLC and later; the sections are
// laid out by name, so this one runs first.
extern "C" {
__attribute__((section(".CRT$XLB"), used)) const PIMAGE_TLS_CALLBACK valdrixSearchSystem32Only = SearchSystem32Only;
}

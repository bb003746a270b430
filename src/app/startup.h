#pragma once
// Pieces of the start-up sequence that need no Windows call.
#include <cstdint>
#include <string>
#include <string_view>

#include "app/flags.h"

namespace Startup {

// One setup run per machine: the verify task runs in session 0, a person's
// setup in their own session.
inline constexpr wchar_t kMutexName[] = L"Global\\Valdrix.Setup";
// A verify run takes about a second; an install, update or uninstall waits
// this long for one (or for another run) to end.
inline constexpr uint32_t kMutexWaitMs = 30000;
inline constexpr wchar_t kLogFileName[] = L"Valdrix.Setup.log";
inline constexpr wchar_t kTempPrefix[] = L"__temp_";
inline constexpr wchar_t kHelpCaption[] = L"Valdrix";
inline constexpr wchar_t kHelpText[] =
    L"Valdrix Setup\n\n/s\tSilent: headless, no UI\n/up\tUpdate: update necessary files\n/v\tVerify: verify "
    L"program execution\n/ds\tDon't start after install\n/logincode=...\n\nPlease refer to our documentation for more "
    L"information.";

enum ExitCode : int {
  kExitAlreadyRunning = 1000,
  kExitTemporaryCopy = 1001,
  kExitHelpShown = 1002,
};

// The text between the first "(" and the first ")" after it, when it has at
// least six characters, all ASCII letters or digits; else empty.
std::wstring LoginCodeFromFileName(std::wstring_view fileName);

bool IsTemporaryCopyName(std::wstring_view fileName);

// How long this run waits for another setup run to let go of the mutex: a
// verify (the task comes back in four minutes) and the help box not at all.
uint32_t MutexWaitMs(const SetupFlags& flags);

// Session 0 has no desktop anyone sees: a run there (a deployment tool's, as
// SYSTEM) goes on as /silent. True when that changed the flags.
bool SilentInSessionZero(SetupFlags& flags, uint32_t ownSession);

// Puts the calling (entry) thread into the multithreaded apartment for the
// life of the process and sets the process's COM security, before any
// window exists: once COM has set it by itself (an accessibility client
// talking to a window does that), CoInitializeSecurity answers
// RPC_E_TOO_LATE, which is only a WARNING. False when the run cannot go on.
bool InitializeComSecurity();

// Reads "DeviceID" for the crash reporter's user; empty when the product key
// cannot be read (for example without administrator rights).
std::string ReadDeviceIdForReporting();

}  // namespace Startup

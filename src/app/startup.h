#pragma once
// Pieces of the start-up sequence that need no Windows call.
#include <string>
#include <string_view>

namespace Startup {

inline constexpr wchar_t kMutexName[] = L"Valdrix.Setup";
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

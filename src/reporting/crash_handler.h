#pragma once
// Crash capture. On Windows an unhandled-exception filter writes a minidump
// and the prepared event into the database folder; the next start sends them.
// The test double records what it was given.
#include <string>
#include <string_view>

namespace Reporting {

// Crash records are named "crash-<exception code, 8 hex digits>-<unique>"
// with ".dmp" (the minidump) and ".json" (the event, written last).
inline constexpr std::string_view kCrashPrefix = "crash-";

// Also guards the calling thread's stack (GuardThreadStack).
void InstallCrashHandler(const std::wstring& folder);
// Keeps stack for the crash handler on the calling thread should its stack
// overflow (SetThreadStackGuarantee). Every thread of the setup calls it.
void GuardThreadStack();
// The event JSON written beside the minidump; empty: write no crash record.
void SetCrashEvent(std::string_view eventJson);

}  // namespace Reporting

#pragma once
// Set-up and inspection of the double's system probes, shell calls and COM.
#include <cstdint>
#include <string>
#include <vector>

namespace Double::System {

// Windows version seen by IsWindowsVersionAtLeast (default 10.0.19045).
void SetWindowsVersion(uint32_t major, uint32_t build);
// Whether the token holds "SeDebugPrivilege" (default yes; it starts
// disabled), and whether it is enabled now.
void SetDebugPrivilegeHeld(bool held);
bool DebugPrivilegeEnabled();
void SetLastErrorCode(uint32_t code);
// Windows PE is the registry key HKLM\SYSTEM\CurrentControlSet\Control\MiniNT.

struct ShellOpenCall {
  std::wstring target;
  int showCommand;
};
std::vector<ShellOpenCall> ShellOpens();

struct Information {
  std::wstring text;
  std::wstring caption;
};
std::vector<Information> InformationShown();

// COM of the engine thread: the HRESULTs to answer and the calls made.
void SetComResults(int32_t initialize, int32_t security);
int ComInitializeCalls();
int ComUninitializeCalls();
// CoInitializeEx successes not yet balanced by CoUninitialize.
int ComInitializations();
inline void SetComInitializeResult(int32_t hresult) { SetComResults(hresult, 0); }

// Windows PE: creates or deletes HKLM\SYSTEM\CurrentControlSet\Control\MiniNT.
void SetWindowsPE(bool windowsPE);
void SetProgramFilesFolder(const std::wstring& folder);
// Targets opened through the shell, in order.
std::vector<std::wstring> ShellOpened();

}  // namespace Double::System

#pragma once
// Set-up and inspection of the double's system probes, shell calls and COM.
#include <cstdint>
#include <string>
#include <vector>

namespace Double::System {

// Windows version seen by IsWindowsVersionAtLeast (default 10.0.19045).
void SetWindowsVersion(uint32_t major, uint32_t build);
void SetDebugPrivilegeResult(bool granted);
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

}  // namespace Double::System

#pragma once
// The double's answers to the system probes the run driver asks: Windows
// version, Windows PE, Program Files, COM set-up, and what was opened
// through the shell.
#include <cstdint>
#include <string>
#include <vector>

namespace Double::System {

void SetWindowsVersion(uint32_t major, uint32_t build);  // 10.0.19045 after a reset
void SetWindowsPE(bool windowsPE);
void SetProgramFilesFolder(std::wstring folder);  // "C:\Program Files" after a reset
void SetLastErrorCode(uint32_t error);
void SetComInitializeResult(int32_t hresult);  // S_OK after a reset
std::vector<std::wstring> ShellOpened();
// CoInitializeEx successes not yet balanced by CoUninitialize.
int ComInitializations();

}  // namespace Double::System

#pragma once
// Names of the product's service, tasks and executables shared by the flows.

namespace Product {

inline constexpr wchar_t kServiceName[] = L"Valdrix";
inline constexpr wchar_t kServiceDisplayName[] = L"Valdrix";
inline constexpr wchar_t kServiceExecutable[] = L"Valdrix.Desktop.Service.exe";
inline constexpr wchar_t kClientExecutable[] = L"Valdrix.Desktop.exe";
inline constexpr wchar_t kScannerExecutable[] = L"Valdrix.Desktop.Scan.exe";
inline constexpr wchar_t kSetupExecutable[] = L"Valdrix.Setup.exe";
inline constexpr wchar_t kMovedSetupName[] = L"__temp_Valdrix.Setup.exe";
inline constexpr wchar_t kLogonTask[] = L"ValdrixLogon";
inline constexpr wchar_t kVerifyTask[] = L"ValdrixVerify";
inline constexpr wchar_t kTaskFolder[] = L"\\";
inline constexpr wchar_t kShortcutName[] = L"\\Valdrix.lnk";

}  // namespace Product

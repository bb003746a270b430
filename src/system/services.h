#pragma once
// The Windows service of the product, through the Service Control Manager.
// Each call opens its own handles and closes them on every path.
#include <string>

namespace Services {
bool IsInstalled(const wchar_t* name);
void Install(const wchar_t* name, const wchar_t* displayName, const wchar_t* binaryPath);
void Uninstall(const wchar_t* name);
bool IsEnabled(const wchar_t* name);
void SetEnabled(const wchar_t* name, bool enabled);
bool IsRunning(const wchar_t* name);
bool Start(const wchar_t* name);  // false: the wait for "running" gave up
bool Stop(const wchar_t* name);   // false: not stopped, or its process lingered
}  // namespace Services

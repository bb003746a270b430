#pragma once
// The Windows service of the product, through the Service Control Manager.
// Each call opens its own handles and closes them on every path.
#include <string>

namespace Services {
bool IsInstalled(const wchar_t* name);
void Install(const wchar_t* name, const wchar_t* displayName, const wchar_t* binaryPath);
// An existing service changed in place to what Install creates, recovery
// actions included. A service marked for deletion (by an uninstall, while
// someone holds it open) fails with 1072 and a message of its own.
void Update(const wchar_t* name, const wchar_t* displayName, const wchar_t* binaryPath);
// The restarts after a failure as Install sets them (true), or none (false):
// a service whose process is killed is restarted by them.
void SetRecoveryActions(const wchar_t* name, bool restart);
void Uninstall(const wchar_t* name);
bool IsEnabled(const wchar_t* name);
void SetEnabled(const wchar_t* name, bool enabled);
bool IsRunning(const wchar_t* name);
bool Start(const wchar_t* name);  // false: the wait for "running" gave up
bool Stop(const wchar_t* name);   // false: not stopped, or its process lingered
}  // namespace Services

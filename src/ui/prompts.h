#pragma once
// The boxes and dialogs the setup shows over its progress window. All run on
// the user-interface thread and return the dialog result.
#include <windows.h>

#include <string>

namespace Ui {

// With an owner, the box is centred over it (throws std::system_error
// "SetWindowsHookEx failed for message box" when that cannot be arranged).
int show_message_box(HWND owner, const wchar_t* caption, const wchar_t* text, UINT type);

int AskLegacyQuestion(HWND owner);
// IDYES for "&Verify", IDNO for "&Reinstall", IDCANCEL, or 0 when the dialog
// could not be shown.
int AskInstalledQuestion(HWND owner);
int AskRestartQuestion(HWND owner);
void ShowFatalError(HWND owner, const std::wstring& message);

// Logs the reboot, takes the shutdown privilege and asks Windows to restart.
void RequestReboot();

}  // namespace Ui

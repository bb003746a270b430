#include "ui/prompts.h"

#include <commctrl.h>

#include "app/log.h"
#include "system/errors.h"
#include "ui/centering.h"

namespace Ui {
namespace {

constexpr wchar_t kCaption[] = L"Valdrix";

// Written and read on the user-interface thread only.
HWND boxOwner = nullptr;
HHOOK boxHook = nullptr;

void Unhook() {
  if (boxHook) UnhookWindowsHookEx(boxHook);
  boxHook = nullptr;
}

LRESULT CALLBACK CenteringHook(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_ACTIVATE && boxOwner) {
    CenterWindowOver(reinterpret_cast<HWND>(wParam), boxOwner);
    Unhook();
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

HRESULT CALLBACK CenteringCallback(HWND dialog, UINT notification, WPARAM, LPARAM, LONG_PTR) {
  if (notification == TDN_CREATED) {
    // Some task dialog hosts create it without WS_POPUP; then only the owner
    // link leads back to the window.
    HWND parent = GetParent(dialog);
    if (!parent) parent = GetWindow(dialog, GW_OWNER);
    CenterWindowOver(dialog, parent);
  }
  return S_OK;
}

}  // namespace

int show_message_box(HWND owner, const wchar_t* caption, const wchar_t* text, UINT type) {
  if (!owner) return MessageBoxW(nullptr, text, caption, type);
  boxOwner = owner;
  boxHook = SetWindowsHookExW(WH_CBT, CenteringHook, nullptr, GetCurrentThreadId());
  if (!boxHook) Errors::ThrowSystem(GetLastError(), "SetWindowsHookEx failed for message box");
  const int result = MessageBoxW(owner, text, caption, type);
  Unhook();  // the box may never have been activated
  return result;
}

int AskLegacyQuestion(HWND owner) {
  return show_message_box(
      owner, kCaption,
      L"A legacy build (Morvex) is still installed. This build must be uninstalled before Valdrix "
      L"can be installed.\n\nDo you want to uninstall it now? If you click No, the setup will close.",
      MB_YESNO | MB_ICONWARNING);
}

int AskInstalledQuestion(HWND owner) {
  static_assert(sizeof(TASKDIALOGCONFIG) == 160);
  const TASKDIALOG_BUTTON buttons[] = {{IDYES, L"&Verify"}, {IDNO, L"&Reinstall"}};
  TASKDIALOGCONFIG config{};
  config.cbSize = sizeof(config);
  config.hwndParent = owner;
  config.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION;
  config.dwCommonButtons = TDCBF_CANCEL_BUTTON;
  config.pszWindowTitle = kCaption;
  config.pszMainIcon = TD_INFORMATION_ICON;
  config.pszContent =
      L"It looks like Valdrix is already installed. Would you like to verify whether it's running correctly?";
  config.cButtons = 2;
  config.pButtons = buttons;
  config.nDefaultButton = 0;
  if (owner) config.pfCallback = CenteringCallback;
  int answer = 0;
  if (FAILED(TaskDialogIndirect(&config, &answer, nullptr, nullptr))) answer = 0;
  return answer;
}

int AskRestartQuestion(HWND owner) {
  return show_message_box(owner, kCaption,
                          L"We recommend restarting your computer.\n\nDo you want to restart Windows now?",
                          MB_YESNO | MB_ICONQUESTION);
}

void ShowFatalError(HWND owner, const std::wstring& message) {
  show_message_box(owner, kCaption, message.c_str(), MB_OK | MB_ICONERROR);
}

void RequestReboot() {
  SetupLog::Warning("Starting a reboot!");
  HANDLE token = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (LookupPrivilegeValueW(nullptr, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid)) {
      AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    }
    CloseHandle(token);
  }
  ExitWindowsEx(EWX_REBOOT, SHTDN_REASON_MAJOR_APPLICATION | SHTDN_REASON_MINOR_INSTALLATION);
}

}  // namespace Ui

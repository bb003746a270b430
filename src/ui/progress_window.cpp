#include "ui/progress_window.h"

#include <commctrl.h>

#include <cwchar>
#include <string>

#include "app/build_info.h"
#include "app/flags.h"
#include "reporting/crash_handler.h"
#include "ui/progress_layout.h"
#include "ui/prompts.h"
#include "ui/questions.h"

namespace {

constexpr COLORREF kBackgroundColour = RGB(246, 245, 248);
constexpr COLORREF kBuildLabelColour = RGB(200, 200, 210);
constexpr COLORREF kLabelColour = RGB(11, 56, 81);

// One brush for the window background and the labels, for the whole process.
HBRUSH BackgroundBrush() {
  struct Brush {
    HBRUSH handle = CreateSolidBrush(kBackgroundColour);
    ~Brush() { DeleteObject(handle); }
  };
  static const Brush brush;
  return brush.handle;
}

double SystemDpiScale() {
  using GetDpiForSystemFn = UINT(WINAPI*)();
  const HMODULE user32 = LoadLibraryW(L"user32.dll");
  if (!user32) return 1.0;
  double scale = 1.0;
  if (const FARPROC proc = GetProcAddress(user32, "GetDpiForSystem")) {
    scale = reinterpret_cast<GetDpiForSystemFn>(reinterpret_cast<void*>(proc))() / 96.0;
  }
  FreeLibrary(user32);
  return scale;
}

const wchar_t* TitleLine(SetupMode mode) {
  switch (mode) {
    case SetupMode::Update: return L"Updating Valdrix..";
    case SetupMode::Verify: return L"Verifying Valdrix..";
    case SetupMode::Uninstall: return L"Uninstalling Valdrix..";
    case SetupMode::Install: break;
  }
  return L"Installing Valdrix..";
}

// The embedded "Outfit" face; every failure leaves the substitute font.
HANDLE LoadEmbeddedFont() {
  const HMODULE module = GetModuleHandleW(nullptr);
  const HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(10) /* RT_RCDATA */);
  if (!resource) return nullptr;
  const HGLOBAL loaded = LoadResource(module, resource);
  if (!loaded) return nullptr;
  void* bytes = LockResource(loaded);
  if (!bytes) return nullptr;
  DWORD fonts = 0;
  return AddFontMemResourceEx(bytes, SizeofResource(module, resource), nullptr, &fonts);
}

LOGFONTW OutfitFont() {
  LOGFONTW font = wl::system_font();
  wcsncpy(font.lfFaceName, L"Outfit", LF_FACESIZE - 1);
  font.lfFaceName[LF_FACESIZE - 1] = L'\0';
  return font;
}

POINT At(const Ui::Box& box) { return POINT{box.x, box.y}; }
SIZE Size(const Ui::Box& box) { return SIZE{box.width, box.height}; }

}  // namespace

ProgressWindow::ProgressWindow(SetupSteps setupSteps) : steps(std::move(setupSteps)) {
  scale = SystemDpiScale();
  const Ui::ProgressLayout layout = Ui::ComputeProgressLayout(scale);
  setup.wndClassEx.hbrBackground = BackgroundBrush();
  setup.wndClassEx.lpszClassName = L"Valdrix.Setup";
  setup.title = L"Valdrix Setup";
  setup.style |= WS_MINIMIZEBOX;
  setup.exStyle |= WS_EX_COMPOSITED | WS_EX_DLGMODALFRAME;
  setup.size = SIZE{layout.window.width, layout.window.height};

  add_message_handler(WM_CREATE, [this](wl::window_message) -> LRESULT {
    OnCreate();
    return 0;
  });
  add_message_handler(WM_CLOSE, [this](wl::window_message) -> LRESULT {
    if (!busy.load()) DestroyWindow(hwnd());
    return 0;
  });
  add_message_handler(WM_CTLCOLORSTATIC, [this](wl::window_message m) -> LRESULT {
    const auto dc = reinterpret_cast<HDC>(m.wParam);
    const bool buildLabel = reinterpret_cast<HWND>(m.lParam) == versionLabel.hwnd();
    SetTextColor(dc, buildLabel ? kBuildLabelColour : kLabelColour);
    SetBkColor(dc, kBackgroundColour);
    return reinterpret_cast<LRESULT>(BackgroundBrush());
  });
}

ProgressWindow::~ProgressWindow() {
  if (fontResource) RemoveFontMemResourceEx(fontResource);
}

void ProgressWindow::OnCreate() {
  steps.breadcrumb("Window displayed", "ui", "info");
  const Ui::ProgressLayout layout = Ui::ComputeProgressLayout(scale);
  constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;
  titleLabel.create(hwnd(), 1, TitleLine(SetupFlags::Instance().mode), At(layout.title), Size(layout.title), L"Static",
                    kChild, 0);
  statusLabel.create(hwnd(), 1, L"", At(layout.status), Size(layout.status), L"Static", kChild, 0);
  progressBar.create(hwnd(), 1, L"", At(layout.progressBar), Size(layout.progressBar), PROGRESS_CLASSW, kChild, 0);
  SendMessageW(progressBar.hwnd(), PBM_SETRANGE, 0, MAKELPARAM(0, 100));
  SendMessageW(progressBar.hwnd(), PBM_SETPOS, 0, 0);
  versionLabel.create(hwnd(), 1, BuildInfo::kBuildLabel, At(layout.version), Size(layout.version), L"Static", kChild,
                      0);
  SetWindowLongPtrW(versionLabel.hwnd(), GWL_STYLE, GetWindowLongPtrW(versionLabel.hwnd(), GWL_STYLE) | SS_RIGHT);

  wl::apply_system_font(hwnd());
  if (!fontResource) fontResource = LoadEmbeddedFont();

  statusFont.set(OutfitFont());
  SendMessageW(statusLabel.hwnd(), WM_SETFONT, reinterpret_cast<WPARAM>(statusFont.get()), TRUE);
  SendMessageW(versionLabel.hwnd(), WM_SETFONT, reinterpret_cast<WPARAM>(statusFont.get()), TRUE);
  LOGFONTW title = OutfitFont();
  title.lfHeight = 20;
  titleFont.set(title);
  SendMessageW(titleLabel.hwnd(), WM_SETFONT, reinterpret_cast<WPARAM>(titleFont.get()), TRUE);

  busy.exchange(true);
  run_thread_detached([this] { InstallThread(); });
}

void ProgressWindow::InstallThread() {
  Reporting::GuardThreadStack();
  Setup::Context context;
  context.onStatus = [this](std::wstring_view text) {
    const std::wstring status(text);
    run_on_ui_thread([&] { SetWindowTextW(statusLabel.hwnd(), status.c_str()); });
  };
  context.onProgress = [this](int32_t percent) {
    run_on_ui_thread([&] { SendMessageW(progressBar.hwnd(), PBM_SETPOS, static_cast<WPARAM>(percent), 0); });
  };
  context.onCompleted = [this] {
    run_on_ui_thread([&] {
      SetWindowTextW(statusLabel.hwnd(), L"Finished!");
      SendMessageW(progressBar.hwnd(), PBM_SETPOS, 100, 0);
    });
  };
  context.onFatal = [this](std::wstring_view text) {
    const std::wstring message(text);
    run_on_ui_thread([&] {
      Ui::ShowFatalError(hwnd(), message);
      errorShown.exchange(true);
    });
  };

  if (steps.initialize(context) != 0) {
    context.onFatal(L"Setup initialization failed! See the log file for more information.");
  } else {
    if (!AskStartupQuestions(context)) {
      CloseSetup();
      return;
    }
    steps.run(context);
    steps.runDeferred(context);
    if (context.restartRequired) {
      int answer = 0;
      run_on_ui_thread([&] { answer = Ui::AskRestartQuestion(hwnd()); });
      if (answer == IDYES) steps.reboot();
    }
  }
  Finish();
}

bool ProgressWindow::AskStartupQuestions(Setup::Context& context) {
  SetupFlags& flags = SetupFlags::Instance();
  const auto record = [this](const Ui::Breadcrumb& crumb) {
    steps.breadcrumb(crumb.message, crumb.category, crumb.level);
  };
  const auto decide = [&](const Ui::Decision& decision) {
    if (decision.breadcrumb) record(*decision.breadcrumb);
    return Ui::ApplyDecision(decision, flags);
  };
  if (Ui::AsksLegacyQuestion(flags.mode) && steps.legacyInstalled()) {
    record(Ui::kAskingLegacy);
    int answer = 0;
    run_on_ui_thread([&] { answer = Ui::AskLegacyQuestion(hwnd()); });
    if (!decide(Ui::DecideLegacy(answer))) return false;
  }
  if (Ui::AsksInstalledQuestion(flags.mode) && steps.productInstalled(context)) {
    record(Ui::kAskingInstalled);
    int answer = 0;
    run_on_ui_thread([&] { answer = Ui::AskInstalledQuestion(hwnd()); });
    if (!decide(Ui::DecideInstalled(answer))) return false;
  }
  return true;
}

void ProgressWindow::CloseSetup() {
  run_on_ui_thread([this] {
    busy.exchange(false);
    DestroyWindow(hwnd());
  });
}

void ProgressWindow::Finish() {
  run_on_ui_thread([this] {
    busy.exchange(false);
    if (SetupFlags::Instance().mode != SetupMode::Verify || errorShown.load()) DestroyWindow(hwnd());
  });
}

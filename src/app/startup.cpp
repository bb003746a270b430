#include "app/startup.h"

#include <exception>

#include "app/log.h"
#include "app/text.h"
#include "system/com.h"
#include "system/registry.h"

namespace Startup {

bool InitializeComSecurity() {
  constexpr int32_t kTooLate = static_cast<int32_t>(0x80010119);  // RPC_E_TOO_LATE
  if (Com::InitializeMultithreaded() < 0) {
    SetupLog::Error("Unable to CoInitializeEx");
    return false;
  }
  const int32_t result = Com::InitializeSecurity();
  if (result == kTooLate) {
    SetupLog::Warning("COM security was already set in this process (RPC_E_TOO_LATE); going on with it");
  } else if (result < 0) {
    SetupLog::Error("Unable to CoInitializeSecurity");
    return false;
  }
  return true;
}

std::wstring LoginCodeFromFileName(std::wstring_view fileName) {
  const size_t open = fileName.find(L'(');
  if (open == std::wstring_view::npos) return {};
  const size_t close = fileName.find(L')', open);
  if (close == std::wstring_view::npos) return {};
  const std::wstring_view code = fileName.substr(open + 1, close - open - 1);
  if (code.size() < 6) return {};
  for (wchar_t c : code) {
    if (!Text::IsAsciiAlnum(c)) return {};
  }
  return std::wstring(code);
}

bool IsTemporaryCopyName(std::wstring_view fileName) { return fileName.starts_with(kTempPrefix); }

uint32_t MutexWaitMs(const SetupFlags& flags) {
  return flags.help || flags.mode == SetupMode::Verify ? 0 : kMutexWaitMs;
}

bool SilentInSessionZero(SetupFlags& flags, uint32_t ownSession) {
  if (ownSession != 0 || flags.silent) return false;
  flags.silent = true;
  return true;
}

std::string ReadDeviceIdForReporting() {
  try {
    return Text::ToUtf8(SettingsStore::Instance().GetString(L"DeviceID"));
  } catch (const std::exception&) {
    // Without rights on the product key the reports go out without a user id.
    return {};
  }
}

}  // namespace Startup

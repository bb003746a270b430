#include "app/startup.h"

#include <exception>

#include "app/text.h"
#include "system/registry.h"

namespace Startup {

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

#include "engine/uninstall_token.h"

#include <stdexcept>

#include "app/build_info.h"
#include "app/flags.h"
#include "app/log.h"
#include "app/text.h"
#include "app/trusted_keys.h"
#include "net/http.h"
#include "system/clock.h"
#include "system/registry.h"

std::string FetchSignKey() {
  const auto session = Platform::HttpSession::Create();
  const auto request =
      Platform::CreateHttpRequest(session, std::wstring(L"https://") + BuildInfo::kApiHost + L"/api/signkey");
  request->LimitMemoryBody(kSignKeySizeLimit, "Sign key");
  request->Start();
  if (request->Size() == 0) return {};
  return std::string(reinterpret_cast<const char*>(request->Data()), request->Size());
}

void CheckUninstallAuthorization(const char* expectedType) {
  const SetupFlags& flags = SetupFlags::Instance();
  if (flags.noLogin) {
    if (SettingsStore::Instance().ValueExists(L"ConfigKey")) throw std::runtime_error("Config still exists");
    SetupLog::Warning("Uninstalling through /nologin");
    return;
  }
  // A built-in key makes the check independent of the API server (and of
  // whoever answers for it), and lets an uninstall work offline.
  const std::string& builtIn = TrustedKeys::Instance().tokenText;
  if (!builtIn.empty()) SetupLog::Info("Checking the token with the built-in key");
  const std::string keyText = builtIn.empty() ? FetchSignKey() : builtIn;
  if (flags.token.empty()) throw std::runtime_error("Missing token");
  UninstallToken::CheckToken(Text::ToUtf8(flags.token), keyText, expectedType, Clock::UnixTimeNow());
}

#include "system/registry.h"

#include <fmt/format.h>
#include <fmt/xchar.h>

#include <stdexcept>

#include "app/text.h"
#include "system/errors.h"

namespace {

std::string Quoted(std::string_view format, std::wstring_view name) {
  return fmt::format(fmt::runtime(format), Text::ToUtf8(name));
}

void ThrowIfFailed(long status, std::string_view format, std::wstring_view name) {
  if (status != RegistryApi::kSuccess) Errors::ThrowSystem(static_cast<uint32_t>(status), Quoted(format, name));
}

uint32_t AccessMask(uint32_t permissions) {
  uint32_t mask = 0;
  if (permissions & RegistryPermission::Read) mask |= RegistryApi::kKeyRead;
  if (permissions & RegistryPermission::Write) mask |= RegistryApi::kKeyWrite;
  return mask;
}

}  // namespace

RegistryManager::~RegistryManager() {
  if (key_) RegistryApi::CloseKey(key_);
}

RegistryManager& RegistryManager::operator=(RegistryManager&& other) noexcept {
  if (this != &other) {
    if (key_) RegistryApi::CloseKey(key_);
    key_ = std::exchange(other.key_, nullptr);
  }
  return *this;
}

RegistryManager RegistryManager::Open(RegistryRoot root) {
  const auto value = static_cast<uint32_t>(root);
  if (value > 4) throw std::runtime_error("Invalid root key passed to RegistryManager::Open");
  return RegistryManager(RegistryApi::PredefinedKey(value));
}

RegistryManager RegistryManager::Open(RegistryRoot root, std::wstring_view path, uint32_t permissions) {
  RegistryManager rootKey = Open(root);
  return rootKey.OpenOrCreate(path, permissions);
}

void RegistryManager::DeleteTree(RegistryRoot root, std::wstring_view path) {
  RegistryManager rootKey = Open(root);
  rootKey.DeleteTree(std::wstring(path).c_str());
}

RegistryManager RegistryManager::OpenOrCreate(std::wstring_view path, uint32_t permissions) const {
  if ((permissions & (RegistryPermission::Read | RegistryPermission::Write)) == 0) {
    throw std::runtime_error("Invalid permissions passed to RegistryManager::OpenOrCreate");
  }
  const std::wstring subkey(path);
  RegistryApi::Key result = nullptr;
  ThrowIfFailed(RegistryApi::CreateKey(key_, subkey.c_str(), AccessMask(permissions), &result),
                "Unable to open or create registry key with path \"{}\"", subkey);
  return RegistryManager(result);
}

uint32_t RegistryManager::GetDword(const wchar_t* name) const {
  uint32_t value = 0;
  uint32_t size = sizeof(value);
  const long status = RegistryApi::GetValue(key_, name, RegistryApi::kRestrictDword, &value, &size);
  if (status == RegistryApi::kFileNotFound) return 0;
  ThrowIfFailed(status, "Unable to get dword \"{}\" from registry", name);
  return value;
}

std::wstring RegistryManager::GetString(const wchar_t* name) const {
  uint32_t size = 0;
  const long query = RegistryApi::GetValue(key_, name, RegistryApi::kRestrictSz, nullptr, &size);
  if (query == RegistryApi::kFileNotFound) return {};
  std::wstring buffer(size / 2, L'\0');
  ThrowIfFailed(RegistryApi::GetValue(key_, name, RegistryApi::kRestrictSz, buffer.data(), &size),
                "Unable to get string \"{}\" from registry", name);
  const size_t end = buffer.find(L'\0');
  if (end != std::wstring::npos) buffer.resize(end);
  return buffer;
}

void RegistryManager::SetDword(const wchar_t* name, uint32_t value) {
  ThrowIfFailed(RegistryApi::SetValue(key_, name, RegistryApi::kRegDword, &value, sizeof(value)),
                "Unable to set dword \"{}\" in registry", name);
}

void RegistryManager::SetString(const wchar_t* name, std::wstring_view text) {
  const std::wstring value(text);
  const auto bytes = static_cast<uint32_t>((value.size() + 1) * 2);
  ThrowIfFailed(RegistryApi::SetValue(key_, name, RegistryApi::kRegSz, value.c_str(), bytes),
                "Unable to set string \"{}\" in registry", name ? name : L"");
}

void RegistryManager::SetDefaultString(std::wstring_view text) { SetString(nullptr, text); }

void RegistryManager::DeleteValue(const wchar_t* name) {
  ThrowIfFailed(RegistryApi::DeleteValue(key_, name), "Unable to delete key \"{}\" from registry", name);
}

void RegistryManager::DeleteTree(const wchar_t* subkey) {
  const long status = RegistryApi::DeleteTree(key_, subkey);
  if (status == RegistryApi::kFileNotFound) return;
  ThrowIfFailed(status, "Unable to delete subkey \"{}\" from registry recursively", subkey);
}

bool RegistryManager::ValueExists(const wchar_t* name) const {
  return RegistryApi::GetValue(key_, name, RegistryApi::kRestrictAny, nullptr, nullptr) != RegistryApi::kFileNotFound;
}

void RegistryManager::Close() {
  if (!key_) return;
  if (RegistryApi::CloseKey(key_) != RegistryApi::kSuccess) {
    Errors::ThrowSystem(RegistryApi::LastError(), "Unable to close key");
  }
  key_ = nullptr;
}

namespace {

class ProductSettings final : public SettingsStore {};
ProductSettings g_settings;

}  // namespace

SettingsStore& SettingsStore::Instance() { return g_settings; }

std::wstring SettingsStore::GetString(const wchar_t* name) { return OpenProductKey(false).GetString(name); }
void SettingsStore::SetString(const wchar_t* name, std::wstring_view value) {
  OpenProductKey(true).SetString(name, value);
}
uint32_t SettingsStore::GetDword(const wchar_t* name) { return OpenProductKey(false).GetDword(name); }
void SettingsStore::SetDword(const wchar_t* name, uint32_t value) { OpenProductKey(true).SetDword(name, value); }
bool SettingsStore::ValueExists(const wchar_t* name) { return OpenProductKey(false).ValueExists(name); }

RegistryManager OpenProductKey(bool forWrite) {
  return RegistryManager::Open(
      RegistryRoot::LocalMachine, kProductKeyPath,
      forWrite ? RegistryPermission::Read | RegistryPermission::Write : RegistryPermission::Read);
}

void RemoveProductKey() { RegistryManager::DeleteTree(RegistryRoot::LocalMachine, kProductKeyPath); }
void RemoveUninstallEntry() { RegistryManager::DeleteTree(RegistryRoot::LocalMachine, kUninstallKeyPath); }
void UnregisterProtocolHandler() { RegistryManager::DeleteTree(RegistryRoot::LocalMachine, kProtocolKeyPath); }

void RegisterProtocolHandler(std::wstring_view clientPath) {
  UnregisterProtocolHandler();
  RegistryManager protocol = RegistryManager::Open(RegistryRoot::LocalMachine, kProtocolKeyPath,
                                                   RegistryPermission::Read | RegistryPermission::Write);
  protocol.SetString(L"URL Protocol", L"");
  RegistryManager command =
      protocol.OpenOrCreate(L"shell\\open\\command", RegistryPermission::Read | RegistryPermission::Write);
  command.SetDefaultString(fmt::format(L"\"{}\" \"%1\"", clientPath));
}

void WriteUninstallEntry(const UninstallEntry& values) {
  RegistryManager entry = RegistryManager::Open(RegistryRoot::LocalMachine, kUninstallKeyPath,
                                                RegistryPermission::Read | RegistryPermission::Write);
  entry.SetString(L"DisplayName", L"Valdrix");
  entry.SetString(L"DisplayIcon", fmt::format(L"\"{}\"", values.clientPath));
  entry.SetString(L"DisplayVersion", values.version);
  entry.SetDword(L"EstimatedSize", values.sizeKiB);
  entry.SetString(L"InstallLocation", values.installLocation);
  entry.SetDword(L"NoModify", 1);
  entry.SetDword(L"NoRepair", 1);
  entry.SetString(L"Publisher", L"Valdrix Inc.");
  entry.SetString(L"UninstallString", fmt::format(L"\"{}\" {}", values.clientPath, values.arguments));
  entry.SetString(L"URLInfoAbout", kUrlInfoAbout);
}

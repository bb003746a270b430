#pragma once
// Registry access of the setup: the owning key wrapper, the settings object
// over HKLM "Software\Valdrix", and the product registration with Windows.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "system/registry_api.h"

enum class RegistryRoot : uint32_t {
  ClassesRoot = 0,
  CurrentUser = 1,
  LocalMachine = 2,
  Users = 3,
  CurrentConfig = 4,
};

namespace RegistryPermission {
constexpr uint32_t Read = 1;
constexpr uint32_t Write = 2;
}  // namespace RegistryPermission

class RegistryManager {
 public:
  RegistryManager() = default;
  explicit RegistryManager(RegistryApi::Key key) : key_(key) {}
  ~RegistryManager();
  RegistryManager(RegistryManager&& other) noexcept : key_(std::exchange(other.key_, nullptr)) {}
  RegistryManager& operator=(RegistryManager&& other) noexcept;
  RegistryManager(const RegistryManager&) = delete;
  RegistryManager& operator=(const RegistryManager&) = delete;

  static RegistryManager Open(RegistryRoot root);
  static RegistryManager Open(RegistryRoot root, std::wstring_view path, uint32_t permissions);
  static void DeleteTree(RegistryRoot root, std::wstring_view path);

  RegistryManager OpenOrCreate(std::wstring_view path, uint32_t permissions) const;
  uint32_t GetDword(const wchar_t* name) const;
  std::wstring GetString(const wchar_t* name) const;
  void SetDword(const wchar_t* name, uint32_t value);
  void SetString(const wchar_t* name, std::wstring_view text);
  void SetDefaultString(std::wstring_view text);
  void DeleteValue(const wchar_t* name);
  void DeleteTree(const wchar_t* subkey);
  bool ValueExists(const wchar_t* name) const;
  void Close();

  RegistryApi::Key Get() const { return key_; }

 private:
  RegistryApi::Key key_ = nullptr;
};

// The product's values under HKLM "Software\Valdrix"; each call opens the key
// for that call alone.
class SettingsStore {
 public:
  static SettingsStore& Instance();

  virtual std::wstring GetString(const wchar_t* name);
  virtual void SetString(const wchar_t* name, std::wstring_view value);
  virtual uint32_t GetDword(const wchar_t* name);
  virtual void SetDword(const wchar_t* name, uint32_t value);
  virtual bool ValueExists(const wchar_t* name);

 protected:
  ~SettingsStore() = default;
};

inline constexpr wchar_t kProductKeyPath[] = L"Software\\Valdrix";
inline constexpr wchar_t kUninstallKeyPath[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Valdrix";
// Under HKLM: the merged HKEY_CLASSES_ROOT view would write a user's own
// "valdrix" key instead of the machine's when the user has one.
inline constexpr wchar_t kProtocolKeyPath[] = L"Software\\Classes\\valdrix";
inline constexpr wchar_t kUrlInfoAbout[] = L"https://www.valdrix.com/";

RegistryManager OpenProductKey(bool forWrite);
void RemoveProductKey();
void RemoveUninstallEntry();
void UnregisterProtocolHandler();
void RegisterProtocolHandler(std::wstring_view clientPath);
// The entry Apps & features and inventory tools read: the product's
// version, its size in KiB, its folder; no Modify or Repair offered.
struct UninstallEntry {
  std::wstring clientPath;
  std::wstring arguments;
  std::wstring version;
  std::wstring installLocation;
  uint32_t sizeKiB = 0;
};
void WriteUninstallEntry(const UninstallEntry& values);

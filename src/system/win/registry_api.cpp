#include "system/registry_api.h"

#include <windows.h>

namespace RegistryApi {

Key PredefinedKey(uint32_t root) {
  static const HKEY kRoots[] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS,
                                HKEY_CURRENT_CONFIG};
  return root < 5 ? kRoots[root] : nullptr;
}

long CreateKey(Key parent, const wchar_t* path, uint32_t access, Key* result) {
  HKEY key = nullptr;
  const LSTATUS status = RegCreateKeyExW(static_cast<HKEY>(parent), path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                         access, nullptr, &key, nullptr);
  *result = key;
  return status;
}

long OpenKey(Key parent, const wchar_t* path, uint32_t access, Key* result) {
  HKEY key = nullptr;
  const LSTATUS status = RegOpenKeyExW(static_cast<HKEY>(parent), path, 0, access, &key);
  *result = key;
  return status;
}

long GetValue(Key key, const wchar_t* name, uint32_t restrictFlags, void* data, uint32_t* size) {
  DWORD bytes = size ? *size : 0;
  const LSTATUS status =
      RegGetValueW(static_cast<HKEY>(key), nullptr, name, restrictFlags, nullptr, data, size ? &bytes : nullptr);
  if (size) *size = bytes;
  return status;
}

long SetValue(Key key, const wchar_t* name, uint32_t type, const void* data, uint32_t size) {
  return RegSetKeyValueW(static_cast<HKEY>(key), nullptr, name, type, data, size);
}

long DeleteValue(Key key, const wchar_t* name) { return RegDeleteValueW(static_cast<HKEY>(key), name); }

long DeleteTree(Key key, const wchar_t* subkey) { return RegDeleteTreeW(static_cast<HKEY>(key), subkey); }

long CloseKey(Key key) { return RegCloseKey(static_cast<HKEY>(key)); }

uint32_t LastError() { return GetLastError(); }

}  // namespace RegistryApi

// In-memory registry behind RegistryApi.
#include "double/registry.h"

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <memory>
#include <mutex>
#include <set>

#include "double/double.h"
#include "system/registry_api.h"

namespace Double::Registry {
namespace {

constexpr const wchar_t* kRootNames[] = {L"HKCR", L"HKCU", L"HKLM", L"HKU", L"HKCC"};

std::wstring Lower(std::wstring text) {
  for (auto& c : text) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  return text;
}

struct StoredValue {
  std::wstring name;
  uint32_t type;
  Value data;
};

struct KeyNode {
  std::wstring path;                           // as first created
  std::map<std::wstring, StoredValue> values;  // by lower-case name
};

struct KeyHandle {
  std::wstring path;  // lower case, full
};

struct State {
  std::recursive_mutex lock;
  std::map<std::wstring, KeyNode> keys;  // by lower-case full path
  std::set<KeyHandle*> open;
  KeyHandle roots[5];
  State() {
    for (int i = 0; i < 5; ++i) roots[i].path = Lower(kRootNames[i]);
  }
};

State& S() {
  static State state;
  return state;
}

const bool kRegistered = [] {
  Double::RegisterReset([] {
    std::lock_guard guard(S().lock);
    S().keys.clear();
    for (KeyHandle* key : S().open) delete key;
    S().open.clear();
  });
  return true;
}();

bool IsRoot(const KeyHandle* key) { return key >= &S().roots[0] && key <= &S().roots[4]; }

KeyHandle* AsKey(RegistryApi::Key key) { return static_cast<KeyHandle*>(key); }

bool Valid(RegistryApi::Key key) {
  auto* k = AsKey(key);
  return k && (IsRoot(k) || S().open.count(k));
}

std::wstring Join(const std::wstring& parent, const wchar_t* sub) {
  std::wstring child = sub ? sub : L"";
  while (!child.empty() && child.back() == L'\\') child.pop_back();
  return child.empty() ? parent : parent + L"\\" + child;
}

bool Exists(const std::wstring& lowerPath) {
  for (const auto& root : kRootNames) {
    if (lowerPath == Lower(root)) return true;
  }
  return S().keys.count(lowerPath) > 0;
}

// HKEY_CLASSES_ROOT is a view, not a hive: a key below it is the user's
// HKCU\Software\Classes key when the user has one, else the machine's
// HKLM\Software\Classes key, where new keys go. The double resolves the path
// when a key is opened, created, deleted or inspected, so a handle names one
// hive's key; what Windows does besides (merging a key's subkeys from both
// hives in enumerations, which the setup never makes) it does not model.
std::wstring Resolved(const std::wstring& path) {
  const std::wstring lower = Lower(path);
  if (!lower.starts_with(L"hkcr\\")) return path;
  const std::wstring rest = path.substr(4);
  const bool users = Exists(L"hkcu\\software\\classes" + Lower(rest));
  return (users ? L"HKCU\\Software\\Classes" : L"HKLM\\Software\\Classes") + rest;
}

std::optional<long> Fault(const char* operation) {
  if (auto error = Double::TakeFault(operation)) return static_cast<long>(*error);
  return std::nullopt;
}

}  // namespace

bool KeyExists(const std::wstring& path) {
  std::lock_guard guard(S().lock);
  return Exists(Lower(Resolved(path)));
}

std::optional<Value> GetValue(const std::wstring& keyPath, const std::wstring& name) {
  std::lock_guard guard(S().lock);
  auto key = S().keys.find(Lower(Resolved(keyPath)));
  if (key == S().keys.end()) return std::nullopt;
  auto value = key->second.values.find(Lower(name));
  if (value == key->second.values.end()) return std::nullopt;
  return value->second.data;
}

std::map<std::wstring, Value> Values(const std::wstring& keyPath) {
  std::lock_guard guard(S().lock);
  std::map<std::wstring, Value> out;
  auto key = S().keys.find(Lower(Resolved(keyPath)));
  if (key == S().keys.end()) return out;
  for (const auto& [lower, value] : key->second.values) out[value.name] = value.data;
  return out;
}

void SetValue(const std::wstring& path, const std::wstring& name, Value value) {
  std::lock_guard guard(S().lock);
  // Create the key and its parents, as RegCreateKeyEx would.
  const std::wstring keyPath = Resolved(path);
  std::wstring lower = Lower(keyPath);
  for (size_t pos = lower.find(L'\\'); pos != std::wstring::npos; pos = lower.find(L'\\', pos + 1)) {
    const std::wstring prefix = lower.substr(0, pos);
    if (!Exists(prefix)) S().keys[prefix].path = keyPath.substr(0, pos);
  }
  auto& node = S().keys[lower];
  if (node.path.empty()) node.path = keyPath;
  const uint32_t type = std::holds_alternative<uint32_t>(value) ? RegistryApi::kRegDword : RegistryApi::kRegSz;
  node.values[Lower(name)] = StoredValue{name, type, std::move(value)};
}

int OpenHandles() {
  std::lock_guard guard(S().lock);
  return static_cast<int>(S().open.size());
}

}  // namespace Double::Registry

namespace RegistryApi {

using namespace Double::Registry;

Key PredefinedKey(uint32_t root) { return root < 5 ? &S().roots[root] : nullptr; }

long CreateKey(Key parent, const wchar_t* path, uint32_t, Key* result) {
  std::lock_guard guard(S().lock);
  *result = nullptr;
  if (auto fault = Fault("RegistryApi::CreateKey")) return *fault;
  if (!Valid(parent)) return 6;  // ERROR_INVALID_HANDLE
  // Create every missing level.
  const std::wstring displayed = Resolved(Join(AsKey(parent)->path, path));
  const std::wstring full = Lower(displayed);
  for (size_t pos = full.find(L'\\'); pos != std::wstring::npos; pos = full.find(L'\\', pos + 1)) {
    const std::wstring prefix = full.substr(0, pos);
    if (!Exists(prefix)) S().keys[prefix].path = displayed.substr(0, pos);
  }
  if (!Exists(full)) S().keys[full].path = displayed;
  auto* key = new KeyHandle{full};
  S().open.insert(key);
  *result = key;
  return kSuccess;
}

long OpenKey(Key parent, const wchar_t* path, uint32_t, Key* result) {
  std::lock_guard guard(S().lock);
  *result = nullptr;
  if (auto fault = Fault("RegistryApi::OpenKey")) return *fault;
  if (!Valid(parent)) return 6;
  const std::wstring full = Lower(Resolved(Join(AsKey(parent)->path, path)));
  if (!Exists(full)) return kFileNotFound;
  auto* key = new KeyHandle{full};
  S().open.insert(key);
  *result = key;
  return kSuccess;
}

long GetValue(Key key, const wchar_t* name, uint32_t restrictFlags, void* data, uint32_t* size) {
  std::lock_guard guard(S().lock);
  if (auto fault = Fault("RegistryApi::GetValue")) return *fault;
  if (!Valid(key)) return 6;
  auto node = S().keys.find(AsKey(key)->path);
  if (node == S().keys.end()) return kFileNotFound;
  auto value = node->second.values.find(Lower(name ? name : L""));
  if (value == node->second.values.end()) return kFileNotFound;
  const StoredValue& stored = value->second;
  const bool allowed = (restrictFlags == kRestrictAny) || (stored.type == kRegSz && (restrictFlags & kRestrictSz)) ||
                       (stored.type == kRegDword && (restrictFlags & kRestrictDword));
  if (!allowed) return 1630;  // ERROR_UNSUPPORTED_TYPE
  if (stored.type == kRegDword) {
    if (size) {
      if (data && *size < 4) return kMoreData;
      *size = 4;
    }
    if (data) std::memcpy(data, &std::get<uint32_t>(stored.data), 4);
    return kSuccess;
  }
  const std::wstring& text = std::get<std::wstring>(stored.data);
  const auto needed = static_cast<uint32_t>((text.size() + 1) * 2);
  if (size) {
    if (data && *size < needed) {
      *size = needed;
      return kMoreData;
    }
    *size = needed;
  }
  if (data) {
    auto* out = static_cast<wchar_t*>(data);
    std::copy(text.begin(), text.end(), out);
    out[text.size()] = L'\0';
  }
  return kSuccess;
}

long SetValue(Key key, const wchar_t* name, uint32_t type, const void* data, uint32_t size) {
  std::lock_guard guard(S().lock);
  if (auto fault = Fault("RegistryApi::SetValue")) return *fault;
  if (!Valid(key)) return 6;
  auto& node = S().keys[AsKey(key)->path];
  Value value;
  if (type == kRegDword) {
    uint32_t number = 0;
    std::memcpy(&number, data, std::min<uint32_t>(size, 4));
    value = number;
  } else {
    const auto* text = static_cast<const wchar_t*>(data);
    std::wstring stored(text, size / 2);
    while (!stored.empty() && stored.back() == L'\0') stored.pop_back();
    value = stored;
  }
  const std::wstring valueName = name ? name : L"";
  node.values[Lower(valueName)] = StoredValue{valueName, type, std::move(value)};
  return kSuccess;
}

long DeleteValue(Key key, const wchar_t* name) {
  std::lock_guard guard(S().lock);
  if (auto fault = Fault("RegistryApi::DeleteValue")) return *fault;
  if (!Valid(key)) return 6;
  auto node = S().keys.find(AsKey(key)->path);
  if (node == S().keys.end() || node->second.values.erase(Lower(name ? name : L"")) == 0) return kFileNotFound;
  return kSuccess;
}

long DeleteTree(Key key, const wchar_t* subkey) {
  std::lock_guard guard(S().lock);
  if (auto fault = Fault("RegistryApi::DeleteTree")) return *fault;
  if (!Valid(key)) return 6;
  const std::wstring full = Lower(Resolved(Join(AsKey(key)->path, subkey)));
  if (!Exists(full)) return kFileNotFound;
  for (auto it = S().keys.begin(); it != S().keys.end();) {
    if (it->first == full || it->first.starts_with(full + L"\\")) {
      it = S().keys.erase(it);
    } else {
      ++it;
    }
  }
  return kSuccess;
}

long CloseKey(Key key) {
  std::lock_guard guard(S().lock);
  if (auto fault = Fault("RegistryApi::CloseKey")) return *fault;
  auto* k = AsKey(key);
  if (IsRoot(k)) return kSuccess;
  if (!S().open.erase(k)) return 6;
  delete k;
  return kSuccess;
}

uint32_t LastError() { return 6; }

}  // namespace RegistryApi

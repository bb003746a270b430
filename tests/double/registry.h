#pragma once
// Inspection of the double's registry (keys are case-insensitive, as on
// Windows). Paths are "<ROOT>\<path>", e.g. "HKLM\Software\Valdrix"; one
// under HKCR is the key of the merged view (the user's Software\Classes key
// when there is one, else the machine's), as through the seam.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>

namespace Double::Registry {

using Value = std::variant<std::wstring, uint32_t>;  // REG_SZ or REG_DWORD

bool KeyExists(const std::wstring& path);
std::optional<Value> GetValue(const std::wstring& keyPath, const std::wstring& name);
// All values of a key, by name (the default value has the empty name).
std::map<std::wstring, Value> Values(const std::wstring& keyPath);
void SetValue(const std::wstring& keyPath, const std::wstring& name, Value value);
// Keys opened and not yet closed (leak check).
int OpenHandles();

}  // namespace Double::Registry

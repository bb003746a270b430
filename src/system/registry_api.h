#pragma once
// The raw registry calls that RegistryManager is built on, in the shape of the
// advapi32 functions they stand for (status codes as Windows returns them).
// Implemented over advapi32 in system/win and in memory by the test double.
#include <cstdint>
#include <string>
#include <string_view>

// String data are wchar_t units; byte counts are 2 per unit, as on Windows,
// whatever the size of wchar_t on the build platform.
namespace RegistryApi {

using Key = void*;  // HKEY

constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegDword = 4;
constexpr uint32_t kRestrictSz = 0x2;
constexpr uint32_t kRestrictDword = 0x10;
constexpr uint32_t kRestrictAny = 0xFFFF;
constexpr uint32_t kKeyRead = 0x20019;
constexpr uint32_t kKeyWrite = 0x20006;

constexpr long kSuccess = 0;
constexpr long kFileNotFound = 2;
constexpr long kMoreData = 234;

// Predefined roots: 0 ClassesRoot, 1 CurrentUser, 2 LocalMachine, 3 Users,
// 4 CurrentConfig.
Key PredefinedKey(uint32_t root);
long CreateKey(Key parent, const wchar_t* path, uint32_t access, Key* result);
// RegGetValueW with no subkey. data may be null (size query); *size in bytes.
long GetValue(Key key, const wchar_t* name, uint32_t restrictFlags, void* data, uint32_t* size);
long SetValue(Key key, const wchar_t* name, uint32_t type, const void* data, uint32_t size);
long DeleteValue(Key key, const wchar_t* name);
long DeleteTree(Key key, const wchar_t* subkey);
long CloseKey(Key key);
// RegOpenKeyExW (no create) for probes such as the Windows PE test.
long OpenKey(Key parent, const wchar_t* path, uint32_t access, Key* result);
uint32_t LastError();

}  // namespace RegistryApi

// Files of the temporary folder: held against change from check to use, and
// opened without following anything planted at their names.
#include <windows.h>

#include <aclapi.h>

#include <fcntl.h>
#include <io.h>

#include <fmt/format.h>

#include <vector>

#include "app/text.h"
#include "system/errors.h"
#include "system/files.h"

namespace {

// Returned when a name turns out to be a link: the setup does not go
// through it.
constexpr DWORD kStoppedOnLink = 681;  // ERROR_STOPPED_ON_SYMLINK
constexpr DWORD kReadPiece = 1 << 20;

std::string Quoted(const char* text, std::wstring_view path) {
  return fmt::format("{} \"{}\"", text, Text::ToUtf8(path));
}

bool IsLinkOrSecondName(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) return true;
  return (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || info.nNumberOfLinks > 1;
}

// The SID of this process's token of the given class (TokenUser or
// TokenOwner); empty when it cannot be read.
std::vector<BYTE> OwnSid(TOKEN_INFORMATION_CLASS kind) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  std::vector<BYTE> buffer(256);
  DWORD size = 0;
  const BOOL read = GetTokenInformation(token, kind, buffer.data(), static_cast<DWORD>(buffer.size()), &size);
  CloseHandle(token);
  if (!read) return {};
  // TOKEN_USER and TOKEN_OWNER both start with the SID pointer.
  const PSID sid = kind == TokenUser ? reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid
                                     : reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner;
  const BYTE* start = static_cast<const BYTE*>(sid);
  return std::vector<BYTE>(start, start + GetLengthSid(sid));
}

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) { return IsWellKnownSid(sid, type) != FALSE; }

// False when the file's owner is another account than SYSTEM,
// Administrators or this process's own: such a file was made first by
// someone who can read and change it. Where the platform keeps no owner
// (or it cannot be read), there is nothing to refuse.
bool IsOwnedByTrustedAccount(HANDLE file) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                      &descriptor) != ERROR_SUCCESS) {
    return true;
  }
  bool trusted =
      owner == nullptr || IsWellKnown(owner, WinLocalSystemSid) || IsWellKnown(owner, WinBuiltinAdministratorsSid);
  for (const TOKEN_INFORMATION_CLASS kind : {TokenUser, TokenOwner}) {
    const std::vector<BYTE> own = OwnSid(kind);
    if (!trusted && !own.empty() && EqualSid(owner, const_cast<BYTE*>(own.data()))) trusted = true;
  }
  LocalFree(descriptor);
  return trusted;
}

// True when the open folder's final path, every link resolved, is `path`
// (letter case aside).
bool IsReachedAs(HANDLE folder, const std::wstring& path) {
  std::wstring resolved(MAX_PATH, L'\0');
  DWORD length = GetFinalPathNameByHandleW(folder, resolved.data(), static_cast<DWORD>(resolved.size()), 0);
  if (length >= resolved.size()) {
    resolved.resize(length);
    length = GetFinalPathNameByHandleW(folder, resolved.data(), static_cast<DWORD>(resolved.size()), 0);
  }
  if (length == 0 || length >= resolved.size()) return false;
  resolved.resize(length);
  if (resolved.starts_with(L"\\\\?\\")) resolved.erase(0, 4);
  std::wstring wanted = path;
  while (wanted.size() > 3 && wanted.back() == L'\\') wanted.pop_back();
  return CompareStringOrdinal(resolved.c_str(), -1, wanted.c_str(), -1, TRUE) == CSTR_EQUAL;
}

}  // namespace

void HeldFile::Release() noexcept {
  if (handle_ != nullptr) {
    const DWORD error = GetLastError();
    CloseHandle(handle_);
    handle_ = nullptr;
    SetLastError(error);
  }
}

HeldFile HoldFile(std::wstring_view path) {
  const std::wstring name(path);
  // Reading only, sharing only reading: writers, renames and deletions of
  // anyone else fail with a sharing violation while the handle is open.
  const HANDLE file = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) Errors::ThrowSystem(GetLastError(), Quoted("Unable to open file", name));
  HeldFile held(name, file);
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) {
    Errors::ThrowSystem(GetLastError(), Quoted("Unable to open file", name));
  }
  if ((info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    Errors::ThrowSystem(kStoppedOnLink, Quoted("Unable to open file", name));
  }
  return held;
}

HeldFolders HoldFolders(std::wstring_view base, const std::vector<std::wstring>& names) {
  HeldFolders result;
  std::wstring path(base);
  for (size_t level = 0; level <= names.size(); ++level) {
    if (level > 0) {
      path += L'\\' + names[level - 1];
      // Already there (perhaps as a link) is fine: the open below decides.
      CreateDirectoryW(path.c_str(), nullptr);
    }
    // Reading and writing shared, deletion not: nobody can rename or delete
    // the folder (to put a link in its place) while the handle is open.
    const HANDLE folder =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE) Errors::ThrowSystem(GetLastError(), Quoted("Unable to open folder", path));
    HeldFile held(path, folder);
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(folder, &info)) {
      Errors::ThrowSystem(GetLastError(), Quoted("Unable to open folder", path));
    }
    // The name is asked too, now that it cannot change: a link made from
    // the host's side under Wine shows as one only there.
    const DWORD named = GetFileAttributesW(path.c_str());
    // Above the base nothing is held; a link there shows as a base that
    // Windows reaches under another name.
    const bool reachedElsewhere = level == 0 && !IsReachedAs(folder, path);
    if (((info.dwFileAttributes | named) & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || named == INVALID_FILE_ATTRIBUTES ||
        reachedElsewhere) {
      result.folders.clear();
      result.link = path;
      return result;
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      Errors::ThrowSystem(ERROR_DIRECTORY, Quoted("Unable to open folder", path));
    }
    result.folders.push_back(std::move(held));
  }
  return result;
}

void ReadHeldFile(const HeldFile& file, const std::function<void(const uint8_t*, size_t)>& sink) {
  LARGE_INTEGER start{};
  if (!SetFilePointerEx(file.Handle(), start, nullptr, FILE_BEGIN)) {
    Errors::ThrowSystem(GetLastError(), Quoted("Unable to read file", file.Path()));
  }
  std::vector<uint8_t> buffer(kReadPiece);
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file.Handle(), buffer.data(), kReadPiece, &read, nullptr)) {
      Errors::ThrowSystem(GetLastError(), Quoted("Unable to read file", file.Path()));
    }
    if (read == 0) return;
    sink(buffer.data(), read);
  }
}

std::FILE* OpenAppendWithoutLinks(std::wstring_view path) {
  const std::wstring name(path);
  constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
  HANDLE file = CreateFileW(name.c_str(), FILE_APPEND_DATA | READ_CONTROL, kShare, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file != INVALID_HANDLE_VALUE && (IsLinkOrSecondName(file) || !IsOwnedByTrustedAccount(file))) {
    CloseHandle(file);
    try {
      RemoveFile(name);
    } catch (const std::exception&) {
      return nullptr;
    }
    // A name planted again in between makes this fail rather than follow it.
    file = CreateFileW(name.c_str(), FILE_APPEND_DATA, kShare, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  }
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_APPEND | _O_BINARY);
  if (descriptor == -1) {
    CloseHandle(file);
    return nullptr;
  }
  std::FILE* stream = _fdopen(descriptor, "ab");
  if (stream == nullptr) _close(descriptor);
  return stream;
}

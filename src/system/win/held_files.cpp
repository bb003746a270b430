// Files of the temporary folder: held against change from check to use, and
// opened without following anything planted at their names.
#include <windows.h>

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
  HANDLE file = CreateFileW(name.c_str(), FILE_APPEND_DATA, kShare, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file != INVALID_HANDLE_VALUE && IsLinkOrSecondName(file)) {
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

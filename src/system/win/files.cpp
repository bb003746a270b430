// File and folder probes, removal, moves and whole-file reads and writes.
#include "system/files.h"

#include <windows.h>

#include <io.h>
#include <shellapi.h>

#include <fmt/format.h>
#include <cstdio>
#include <memory>
#include <vector>

#include "app/log.h"
#include "app/text.h"
#include "system/clock.h"
#include "system/errors.h"
#include "system/safe_handle.h"

namespace {

constexpr uint32_t kRemovePollMs = 50;
// A deleted file that another process holds open stays listed until that
// handle closes. The wait ends after this long: the deletion is already
// pending and nothing the setup does would hurry it.
constexpr uint64_t kRemoveWaitLimitMs = 60000;

std::wstring Terminated(std::wstring_view text) { return std::wstring(text); }

std::string PathMessage(const char* format, std::wstring_view path) {
  return fmt::format(fmt::runtime(format), Text::ToUtf8(path));
}

// FILETIME counts 100 ns intervals since 1601-01-01 UTC.
constexpr int64_t kUnixEpochAsFileTime = 116444736000000000;
constexpr int64_t kFileTimeTicksPerSecond = 10000000;

int64_t FileTimeToUnix(const FILETIME& time) {
  const auto ticks = static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
  return (ticks - kUnixEpochAsFileTime) / kFileTimeTicksPerSecond;
}

FILETIME UnixToFileTime(int64_t seconds) {
  const auto ticks = static_cast<uint64_t>(seconds * kFileTimeTicksPerSecond + kUnixEpochAsFileTime);
  return {static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
}

// A file opened for its times and data; null when it cannot be opened. A
// link at the name is opened itself, never followed.
HANDLE OpenForTimes(std::wstring_view path, DWORD access) {
  const HANDLE file =
      CreateFileW(Terminated(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  return file == INVALID_HANDLE_VALUE ? nullptr : file;
}

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

}  // namespace

bool PathExists(std::wstring_view path) {
  return GetFileAttributesW(Terminated(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool DirectoryExists(std::wstring_view path) {
  const DWORD attributes = GetFileAttributesW(Terminated(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

uint32_t EnsureDirectory(std::wstring_view path) {
  if (DirectoryExists(path) || CreateDirectoryW(Terminated(path).c_str(), nullptr)) return 0;
  return GetLastError();
}

void RemoveFile(std::wstring_view path) {
  const std::wstring file(path);
  const DWORD attributes = GetFileAttributesW(file.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0 && !SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL)) {
    Errors::ThrowSystem(GetLastError(), PathMessage("Unable to remove read-only flag from file \"{}\"", file));
  }
  // A link to a folder (junction or folder symbolic link) goes with
  // RemoveDirectoryW, which takes the link and leaves the folder it names.
  const bool folderLink =
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (!(folderLink ? RemoveDirectoryW(file.c_str()) : DeleteFileW(file.c_str()))) {
    Errors::ThrowSystem(GetLastError(), PathMessage("Unable to delete file \"{}\"", file));
  }
  const uint64_t start = Clock::TickCountMs();
  while (PathExists(file)) {
    if (Clock::TickCountMs() - start > kRemoveWaitLimitMs) {
      SetupLog::Warning("File \"%S\" is still in use; it will disappear when it is closed", file);
      return;
    }
    Clock::SleepMs(kRemovePollMs);
  }
}

int64_t GetFileModificationTime(std::wstring_view path) {
  const SafeHandle file(OpenForTimes(path, FILE_READ_ATTRIBUTES));
  FILETIME written{};
  if (!file || !GetFileTime(file.Get(), nullptr, nullptr, &written)) return 0;
  return FileTimeToUnix(written);
}

void FlushFile(std::wstring_view path, std::optional<int64_t> stamp) {
  SafeHandle file(OpenForTimes(path, GENERIC_WRITE | FILE_WRITE_ATTRIBUTES));
  if (!file) Errors::ThrowSystem(GetLastError(), PathMessage("Unable to open file \"{}\"", path));
  if (stamp) {
    const FILETIME time = UnixToFileTime(*stamp);
    if (!SetFileTime(file.Get(), nullptr, &time, &time)) {
      Errors::ThrowSystem(GetLastError(), PathMessage("Unable to stamp file \"{}\"", path));
    }
  }
  if (!FlushFileBuffers(file.Get())) {
    Errors::ThrowSystem(GetLastError(), PathMessage("Unable to flush file \"{}\"", path));
  }
  file.Close();
}

uint32_t MoveFileWithFlags(std::wstring_view source, std::wstring_view destination, uint32_t flags) {
  const std::wstring from(source);
  const std::wstring to(destination);
  if (MoveFileExW(from.c_str(), to.empty() ? nullptr : to.c_str(), flags)) return 0;
  return GetLastError();
}

namespace {

void ListInto(const std::wstring& folder, std::vector<std::wstring>& entries) {
  WIN32_FIND_DATAW found{};
  const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring path = folder + L"\\" + name;
    const DWORD attributes = found.dwFileAttributes;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
      ListInto(path, entries);
    }
    entries.push_back(path);
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

}  // namespace

std::vector<std::wstring> ListFolderTree(std::wstring_view folder) {
  std::vector<std::wstring> entries;
  ListInto(std::wstring(folder), entries);
  return entries;
}

uint64_t FolderSizeBytes(std::wstring_view folder) {
  std::wstring base(folder);
  while (!base.empty() && base.back() == L'\\') base.pop_back();
  WIN32_FIND_DATAW found{};
  const HANDLE search = FindFirstFileExW((base + L"\\*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                         nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (search == INVALID_HANDLE_VALUE) return 0;
  uint64_t total = 0;
  do {
    const std::wstring_view name(found.cFileName);
    if (name == L"." || name == L"..") continue;
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) continue;
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      total += FolderSizeBytes(base + L"\\" + found.cFileName);
    } else {
      total += (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return total;
}

int DeleteDirectoryTree(std::wstring_view folder) {
  // The shell takes a list of paths ended by an empty one.
  std::wstring list(folder);
  list.append(2, L'\0');
  SHFILEOPSTRUCTW operation{};
  operation.wFunc = FO_DELETE;
  operation.pFrom = list.c_str();
  operation.fFlags = 0x414;  // no confirmation, silent, no error UI
  return SHFileOperationW(&operation);
}

bool ReadFileBytes(std::wstring_view path, std::string& bytes) {
  const File file(_wfopen(Terminated(path).c_str(), L"rb"));
  if (!file) return false;
  bytes.clear();
  char buffer[16384];
  size_t read = 0;
  while ((read = std::fread(buffer, 1, sizeof(buffer), file.get())) > 0) bytes.append(buffer, read);
  return std::ferror(file.get()) == 0;
}

bool WriteFileBytes(std::wstring_view path, std::string_view bytes) {
  FILE* raw = _wfopen(Terminated(path).c_str(), L"wb");
  if (!raw) return false;
  bool written = std::fwrite(bytes.data(), 1, bytes.size(), raw) == bytes.size() && std::fflush(raw) == 0;
  written = written && FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(raw))));
  return std::fclose(raw) == 0 && written;
}

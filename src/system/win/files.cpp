// File and folder probes, removal, moves and whole-file reads and writes.
#include "system/files.h"

#include <windows.h>

#include <shellapi.h>
#include <sys/stat.h>
#include <sys/utime.h>

#include <fmt/format.h>
#include <cstdio>
#include <memory>

#include "app/log.h"
#include "app/text.h"
#include "system/clock.h"
#include "system/errors.h"

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
  struct _stat64 info {};
  if (_wstat64(Terminated(path).c_str(), &info) != 0) return 0;
  return info.st_mtime;
}

void SetFileTimes(std::wstring_view path, int64_t time) {
  struct __utimbuf64 times {};
  times.actime = time;
  times.modtime = time;
  _wutime64(Terminated(path).c_str(), &times);
}

uint32_t MoveFileWithFlags(std::wstring_view source, std::wstring_view destination, uint32_t flags) {
  const std::wstring from(source);
  const std::wstring to(destination);
  if (MoveFileExW(from.c_str(), to.empty() ? nullptr : to.c_str(), flags)) return 0;
  return GetLastError();
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
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), raw) == bytes.size();
  return std::fclose(raw) == 0 && written;
}

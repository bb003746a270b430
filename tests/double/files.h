#pragma once
// Set-up and inspection of the double's file system: case-insensitive
// Windows paths ("C:\..."), files with bytes and times, folders, locks and
// the requests to delete or rename at the next restart.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Double::Files {

// Creates the folder and every missing parent.
void MakeDirectories(const std::wstring& path);
// Creates or replaces a file (the parent folders are created too); its
// modification and access times are `time`.
void PutFile(const std::wstring& path, const std::string& bytes = {}, int64_t time = 0);
std::optional<std::string> FileBytes(const std::wstring& path);
bool IsFile(const std::wstring& path);
bool IsDirectory(const std::wstring& path);
void SetReadOnly(const std::wstring& path, bool readOnly);
int64_t ModificationTime(const std::wstring& path);
int64_t AccessTime(const std::wstring& path);
// Every file below a folder (full paths as created, sorted).
std::vector<std::wstring> FilesIn(const std::wstring& folder);

// The next `attempts` moves from or onto the path fail with `error`
// (attempts < 0: every one).
void LockFile(const std::wstring& path, uint32_t error, int attempts = -1);
// Number of HeldFile objects open on the file (HoldFile): while it is
// held, writing, deleting or moving it fails with a sharing violation.
int HeldCount(const std::wstring& path);
// A file held by a running process: it can be renamed, but neither it nor a
// folder holding it can be deleted.
void SetInUse(const std::wstring& path, bool inUse);

struct RestartRequest {
  std::wstring source;
  std::wstring destination;  // empty: delete at restart
};
std::vector<RestartRequest> RestartRequests();

struct MoveCall {
  std::wstring source;
  std::wstring destination;
  uint32_t flags;
  uint32_t result;
  bool sourceFlushed;  // FlushFile had written the source through
};
std::vector<MoveCall> Moves();

// Shell folders and paths of the process (defaults: C:\Program Files,
// C:\Users\Public\Desktop, C:\ProgramData\Microsoft\Windows\Start Menu\Programs,
// C:\users\tester\AppData\Local, temp C:\users\tester\Temp\, executable
// C:\users\tester\Downloads\Valdrix.Setup.exe). The folders exist after Reset.
void SetProgramFilesFolder(const std::wstring& path);
void SetCommonDesktopFolder(const std::wstring& path);
void SetTempDirectory(const std::wstring& path);
void SetExecutablePath(const std::wstring& path);

// Target of a shortcut made by CreateShortcut; empty when there is none.
std::wstring ShortcutTarget(const std::wstring& linkPath);

}  // namespace Double::Files

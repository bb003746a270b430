#pragma once
// Files, folders, processes, shell, sessions and paths of the running setup.
// Declared here, implemented for real in system/win and in memory by the test
// double. Paths are wide; messages are UTF-8.
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "system/safe_handle.h"

// --- files and folders -------------------------------------------------------
bool PathExists(std::wstring_view path);
bool DirectoryExists(std::wstring_view path);
// Makes the folder unless it exists; 0, or the Windows error of making it.
uint32_t EnsureDirectory(std::wstring_view path);
// Deletes a file (clearing the read-only flag first) and waits until it is
// gone. A symbolic link or junction is removed itself, never its target.
// Throws std::system_error.
void RemoveFile(std::wstring_view path);
// Version stamps are file times as seconds since 1970-01-01, in UTC both
// ways (GetFileTime / SetFileTime on a handle, never through local time).
int64_t GetFileModificationTime(std::wstring_view path);  // 0 when unknown
// Opens an existing file for writing (a link at its name is not followed),
// sets its access and modification times to `stamp` when one is given, and
// writes its data through to the disk (FlushFileBuffers) before closing it:
// a file renamed into place afterwards never carries its name or its stamp
// over data lost to a power failure. Throws std::system_error "Unable to
// open file \"{}\"", "Unable to stamp file \"{}\"" or "Unable to flush
// file \"{}\"".
void FlushFile(std::wstring_view path, std::optional<int64_t> stamp = std::nullopt);

// MoveFileExW with the given flags; an empty destination means none (delete
// at restart). Returns 0 on success, else the Windows error code.
constexpr uint32_t kMoveReplaceExisting = 0x1;
constexpr uint32_t kMoveDelayUntilReboot = 0x4;
constexpr uint32_t kMoveWriteThrough = 0x8;
uint32_t MoveFileWithFlags(std::wstring_view source, std::wstring_view destination, uint32_t flags);
// Every file and folder below `folder` (full paths), each listed before the
// folder that holds it; a link is listed, never followed. Empty when the
// folder cannot be read.
std::vector<std::wstring> ListFolderTree(std::wstring_view folder);

// Bytes of every file in the folder and the folders below it; a link
// (junction or symbolic link) is not followed, and what cannot be read
// counts as nothing. Never throws.
uint64_t FolderSizeBytes(std::wstring_view folder);
// Recursive delete of a folder through the shell (SHFileOperationW, FO_DELETE,
// flags 0x414). Returns the shell's result, 0 on success.
int DeleteDirectoryTree(std::wstring_view folder);

// Whole-file reads and writes through the C runtime (binary). Read returns
// false when the file cannot be opened; Write truncates or creates, and
// flushes the file to the disk before closing it.
bool ReadFileBytes(std::wstring_view path, std::string& bytes);
bool WriteFileBytes(std::wstring_view path, std::string_view bytes);

// --- files of the temporary folder, which other users may write -------------
// An existing file open for reading while others may only read it too: as
// long as it is held, nobody can write, replace, rename or delete it, so what
// was checked through it is what runs. Movable, not copyable; released in the
// destructor.
class HeldFile {
 public:
  HeldFile() = default;
  HeldFile(std::wstring path, void* handle) : path_(std::move(path)), handle_(handle) {}
  ~HeldFile() { Release(); }
  HeldFile(HeldFile&& other) noexcept : path_(std::move(other.path_)), handle_(other.handle_) {
    other.handle_ = nullptr;
  }
  HeldFile& operator=(HeldFile&& other) noexcept {
    if (this != &other) {
      Release();
      path_ = std::move(other.path_);
      handle_ = other.handle_;
      other.handle_ = nullptr;
    }
    return *this;
  }
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;

  const std::wstring& Path() const { return path_; }
  void* Handle() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  // Lets others at the file again; the path stays. Idempotent.
  void Release() noexcept;

 private:
  std::wstring path_;
  void* handle_ = nullptr;
};

// Opens an existing file and holds it. A symbolic link or junction is refused,
// never followed. Throws std::system_error "Unable to open file \"{}\"".
HeldFile HoldFile(std::wstring_view path);
// Reads a held file from its start to its end, piece by piece. Throws
// std::system_error "Unable to read file \"{}\"".
void ReadHeldFile(const HeldFile& file, const std::function<void(const uint8_t*, size_t)>& sink);
// Opens a file for appending, creating it when missing, without writing
// through anything planted at its name: a symbolic link, a junction, a
// second name of another file (hard link) or a file another account owns
// (where the platform keeps owners; SYSTEM, Administrators and this
// process's own account are trusted) is removed and a new file made in its
// place. Null when the file cannot be opened.
std::FILE* OpenAppendWithoutLinks(std::wstring_view path);

// --- folders of the user's profile, which the user's own programs may write --
// The folders from `base` down through `names` (base, base\a, base\a\b, ...),
// each below `base` made when missing, each opened without following a link
// and held without sharing deletion: while they are held, none of them can
// be renamed, deleted or replaced by a link, so the path keeps leading
// where it led when it was checked. When one of them is a link (junction or
// symbolic link), or `base` itself is reached through a link above it,
// nothing is held and `link` names that folder. Throws
// std::system_error "Unable to open folder \"{}\"" when one cannot be made
// or opened.
struct HeldFolders {
  std::vector<HeldFile> folders;
  std::wstring link;
};
HeldFolders HoldFolders(std::wstring_view base, const std::vector<std::wstring>& names);

// --- shell folders (empty when unknown, no trailing backslash) --------------
std::wstring GetCommonDesktopFolder();
std::wstring GetCommonProgramsFolder();
std::wstring GetLocalAppDataFolder();
std::wstring GetProgramFilesFolder();

// --- paths of this process -----------------------------------------------------
std::wstring GetTempDirectory();  // ends in a backslash
std::wstring GetExecutablePath();
std::wstring GetExecutableDirectory();  // up to and including the last '\'
std::wstring GetExecutableName();

// --- shortcuts ---------------------------------------------------------------------
void CreateShortcut(std::wstring_view target, std::wstring_view linkPath);

// --- processes ---------------------------------------------------------------------
// Processes whose executable's file name is exactly `executableName`.
std::vector<SafeHandle> FindProcessesByName(std::wstring_view executableName);
// Processes whose executable is the file at `imagePath`, compared in any
// letter case: a program of the same name elsewhere is not one of them.
std::vector<SafeHandle> FindProcessesByImage(std::wstring_view imagePath);
int32_t StopProcessesByName(std::wstring_view executableName);
// Starts a program in the folder above its own as current folder (an
// uninstaller removes its own folder), with the machine's
// environment (not this process's) and TEMP and TMP set to this process's
// temporary folder. The command line is the quoted path, then a blank and
// the argument string when there is one.
uint32_t RunProcess(std::wstring_view executablePath, std::wstring_view arguments, bool wait);
uint32_t RunProcessWithArguments(std::wstring_view executablePath, const std::vector<std::wstring>& arguments,
                                 bool wait);
// RunProcess to the end, with TEMP and TMP of the child set to `tempFolder`.
// Returns the exit code; throws as RunProcess.
uint32_t RunInstaller(std::wstring_view executablePath, std::wstring_view arguments, std::wstring_view tempFolder);
// Builds the argument string of RunProcessWithArguments (portable rule).
std::wstring QuoteArguments(const std::vector<std::wstring>& arguments);
// The command line a program is started with: its path in double quotes,
// so that a blank in it ("Program Files") cannot split it, then a blank and
// the argument string when there is one.
std::wstring CommandLine(std::wstring_view executablePath, std::wstring_view arguments);
// Session of a process found by FindProcessesBy*; false when it cannot be
// read, with the Windows error in *error.
bool GetProcessSessionId(const SafeHandle& process, uint32_t& sessionId, uint32_t& error);

// --- shell, privileges, system -----------------------------------------------------
constexpr int kShowNormal = 1;
void ShellOpen(std::wstring_view target, int showCommand = kShowNormal);
// Turns "SeDebugPrivilege" of this process's token on or off. NotHeld: the
// token lacks it (AdjustTokenPrivileges said ERROR_NOT_ALL_ASSIGNED); Failed:
// the token could not be opened or adjusted, with the Windows error in
// *error.
enum class PrivilegeChange { Done, NotHeld, Failed };
PrivilegeChange SetDebugPrivilege(bool enabled, uint32_t& error);
bool IsWindowsPE();
// True when the system is at least Windows <major> build <build>; also tells
// the major version seen.
bool IsWindowsVersionAtLeast(uint32_t major, uint32_t build, uint32_t& actualMajor);
uint32_t GetOwnSessionId();
std::vector<uint32_t> GetUserSessionIds();
void ShowInformation(std::wstring_view text, std::wstring_view caption);

// GetLastError of the calling thread (0 where there is none).
uint32_t GetLastErrorCode();

#pragma once
// Files, folders, processes, shell, sessions and paths of the running setup.
// Declared here, implemented for real in system/win and in memory by the test
// double. Paths are wide; messages are UTF-8.
#include <cstdint>
#include <cstdio>
#include <functional>
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
int64_t GetFileModificationTime(std::wstring_view path);  // 0 when unknown
void SetFileTimes(std::wstring_view path, int64_t time);  // failures ignored

// MoveFileExW with the given flags; an empty destination means none (delete
// at restart). Returns 0 on success, else the Windows error code.
constexpr uint32_t kMoveReplaceExisting = 0x1;
constexpr uint32_t kMoveDelayUntilReboot = 0x4;
constexpr uint32_t kMoveWriteThrough = 0x8;
uint32_t MoveFileWithFlags(std::wstring_view source, std::wstring_view destination, uint32_t flags);
// Recursive delete of a folder through the shell (SHFileOperationW, FO_DELETE,
// flags 0x414). Returns the shell's result, 0 on success.
int DeleteDirectoryTree(std::wstring_view folder);

// Whole-file reads and writes through the C runtime (binary). Read returns
// false when the file cannot be opened; Write truncates or creates.
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
// through anything planted at its name: a symbolic link, a junction or a
// second name of another file (hard link) is removed and a new file made in
// its place. Null when the file cannot be opened.
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
uint32_t RunProcess(std::wstring_view executablePath, std::wstring_view arguments, bool wait);
uint32_t RunProcessWithArguments(std::wstring_view executablePath, const std::vector<std::wstring>& arguments,
                                 bool wait);
// RunProcess to the end, with TEMP and TMP of the child set to `tempFolder`
// (everything else of this process's environment is passed on). Returns the
// exit code; throws as RunProcess.
uint32_t RunInstaller(std::wstring_view executablePath, std::wstring_view arguments, std::wstring_view tempFolder);
// Builds the argument string of RunProcessWithArguments (portable rule).
std::wstring QuoteArguments(const std::vector<std::wstring>& arguments);
// Session of a process found by FindProcessesBy*; false when it cannot be
// read, with the Windows error in *error.
bool GetProcessSessionId(const SafeHandle& process, uint32_t& sessionId, uint32_t& error);

// --- shell, privileges, system -----------------------------------------------------
constexpr int kShowNormal = 1;
void ShellOpen(std::wstring_view target, int showCommand = kShowNormal);
bool EnableDebugPrivilege();
bool IsWindowsPE();
// True when the system is at least Windows <major> build <build>; also tells
// the major version seen.
bool IsWindowsVersionAtLeast(uint32_t major, uint32_t build, uint32_t& actualMajor);
uint32_t GetOwnSessionId();
std::vector<uint32_t> GetUserSessionIds();
void ShowInformation(std::wstring_view text, std::wstring_view caption);

// GetLastError of the calling thread (0 where there is none).
uint32_t GetLastErrorCode();

#pragma once
// Files, folders, processes, shell, sessions and paths of the running setup.
// Declared here, implemented for real in system/win and in memory by the test
// double. Paths are wide; messages are UTF-8.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "system/safe_handle.h"

// --- files and folders -------------------------------------------------------
bool PathExists(std::wstring_view path);
bool DirectoryExists(std::wstring_view path);
void EnsureDirectory(std::wstring_view path);
// Deletes a file (clearing the read-only flag first) and waits until it is
// gone. Throws std::system_error.
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
std::vector<SafeHandle> FindProcessesByName(std::wstring_view executableName);
int32_t StopProcessesByName(std::wstring_view executableName);
uint32_t RunProcess(std::wstring_view executablePath, std::wstring_view arguments, bool wait);
uint32_t RunProcessWithArguments(std::wstring_view executablePath, const std::vector<std::wstring>& arguments,
                                 bool wait);
// Builds the argument string of RunProcessWithArguments (portable rule).
std::wstring QuoteArguments(const std::vector<std::wstring>& arguments);
// Session of a process found by FindProcessesByName; false when it cannot be
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

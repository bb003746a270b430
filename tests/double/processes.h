#pragma once
// Set-up and inspection of the double's processes, sessions and process
// starts.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace Double::Processes {

struct Process {
  std::wstring name;   // executable file name, e.g. "Valdrix.Desktop.exe"
  std::wstring image;  // its full path; empty for a process started by name
  uint32_t session = 0;
  uint32_t pid = 0;
};

// Adds a running process of an executable given by its full path or by its
// file name alone; returns its id. A process with a termination error
// refuses TerminateProcess with it (5: passed over by the stop).
uint32_t Start(const std::wstring& executable, uint32_t session, uint32_t terminationError = 0);
bool IsAlive(uint32_t pid);
void Kill(uint32_t pid);
std::vector<Process> Running();
int CountRunning(const std::wstring& name);
std::vector<uint32_t> TerminatedPids();
// Called with the id of every process that ends (the SCM double listens).
void OnExit(std::function<void(uint32_t pid)> listener);

// What happens when the executable at `path` (case-insensitive) is started.
struct Script {
  uint32_t exitCode = 0;
  uint32_t startError = 0;       // CreateProcessW fails with this
  std::function<void()> effect;  // runs when the process is started
};
void OnRun(const std::wstring& path, Script script);

struct RunCall {
  std::wstring path;
  std::wstring arguments;  // RunProcess only
  bool wait;
  std::vector<std::wstring> argumentList;  // RunProcessWithArguments only
  bool withArgumentList = false;
  std::wstring tempFolder;      // RunInstaller only: the child's TEMP and TMP
  bool debugPrivilege = false;  // enabled in the setup's token when it started
};
std::vector<RunCall> Runs();

// Sessions as WTSEnumerateSessionsW lists them (0 included, if given), each
// with its state (WTS_CONNECTSTATE_CLASS) and user name (empty: none).
struct Session {
  uint32_t id;
  uint32_t state;
  std::wstring user;
};
void SetListedSessions(std::vector<Session> sessions);
// Each an Active session with a user.
void SetSessions(const std::vector<uint32_t>& ids);
void SetOwnSessionId(uint32_t session);

// Process handles from FindProcessesByName not yet closed (leak check).
int OpenHandles();

}  // namespace Double::Processes

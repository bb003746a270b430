#pragma once
// Set-up and inspection of the double's Task Scheduler.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Double::Tasks {

enum class Kind { Logon, Verify };

struct Task {
  std::wstring name;
  std::wstring folder;
  Kind kind = Kind::Logon;
  std::wstring executable;
  std::wstring arguments;
  std::wstring workingDirectory;
  bool enabled = true;
};

// Adds a task as an earlier install left it.
void AddTask(Task task);
std::optional<Task> Find(const std::wstring& name, const std::wstring& folder = L"\\");
int RegisterCount(const std::wstring& name);

struct RunCall {
  std::wstring name;
  uint32_t session;
};
std::vector<RunCall> Runs();
// RunEx answers this HRESULT for the session (E_INVALIDARG is 0x80070057).
void SetRunResult(uint32_t session, int32_t hresult);
// How often the running instances of the task were stopped.
int StopCount(const std::wstring& name);

}  // namespace Double::Tasks

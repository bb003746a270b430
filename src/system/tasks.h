#pragma once
// The Task Scheduler (2.0) tasks of the product. Each call connects anew and
// releases every interface it obtained. COM must be initialised on the thread.
#include <cstdint>
#include <stdexcept>
#include <string>

namespace Tasks {

// RunEx did not start the task in the session it was asked for; the message
// is "Unable to run task: error {} (code {})" with its HRESULT.
class RunRefused : public std::runtime_error {
 public:
  RunRefused(const std::string& message, int32_t hresult) : std::runtime_error(message), hresult_(hresult) {}
  int32_t HResult() const { return hresult_; }

 private:
  int32_t hresult_;
};

bool Exists(const wchar_t* name, const wchar_t* folder);
void Delete(const wchar_t* name, const wchar_t* folder);
bool IsEnabled(const wchar_t* name, const wchar_t* folder);
void SetEnabled(const wchar_t* name, bool enabled, const wchar_t* folder);
// Ends every running instance of the task; none running is no error. A
// disabled task keeps a run that had already started.
void StopRunning(const wchar_t* name, const wchar_t* folder);
// Throws RunRefused when RunEx refuses the session (a disabled task is not
// refused: it runs nothing).
void RunInSession(const wchar_t* name, uint32_t sessionId, const wchar_t* folder);
void RegisterLogonTask(const wchar_t* name, const wchar_t* executable, const wchar_t* arguments,
                       const wchar_t* workingDirectory, const wchar_t* folder);
void RegisterVerifyTask(const wchar_t* name, const wchar_t* executable, const wchar_t* arguments,
                        const wchar_t* workingDirectory, const wchar_t* folder);

}  // namespace Tasks

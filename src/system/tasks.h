#pragma once
// The Task Scheduler (2.0) tasks of the product. Each call connects anew and
// releases every interface it obtained. COM must be initialised on the thread.
#include <cstdint>

namespace Tasks {
bool Exists(const wchar_t* name, const wchar_t* folder);
void Delete(const wchar_t* name, const wchar_t* folder);
bool IsEnabled(const wchar_t* name, const wchar_t* folder);
void SetEnabled(const wchar_t* name, bool enabled, const wchar_t* folder);
void RunInSession(const wchar_t* name, uint32_t sessionId, const wchar_t* folder);
void RegisterLogonTask(const wchar_t* name, const wchar_t* executable, const wchar_t* arguments,
                       const wchar_t* workingDirectory, const wchar_t* folder);
void RegisterVerifyTask(const wchar_t* name, const wchar_t* executable, const wchar_t* arguments,
                        const wchar_t* workingDirectory, const wchar_t* folder);
}  // namespace Tasks

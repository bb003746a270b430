#pragma once
// COM set-up of the thread that runs the engine. HRESULTs are returned as
// 32-bit signed values (negative means failure).
#include <cstdint>

namespace Com {
int32_t InitializeMultithreaded();  // CoInitializeEx(COINIT_MULTITHREADED)
int32_t InitializeSecurity();       // CoInitializeSecurity, packet privacy, impersonate
void Uninitialize();
}  // namespace Com

// The unhandled-exception filter. It runs in a process that is already
// broken, perhaps on a thread whose stack has overflowed, so it does almost
// nothing itself: it wakes a thread made when the handler was installed,
// which writes the minidump (a dump is best not written by the crashing
// thread) and the event, and waits for it. That thread allocates nothing:
// the event text is prepared beforehand in one of two fixed buffers, the
// file names are built in place, and the minidump writer is looked up when
// the handler is installed.
#include <windows.h>
// dbghelp.h needs the types of windows.h first.
#include <dbghelp.h>

#include <atomic>
#include <cstring>

#include "reporting/crash_handler.h"

namespace Reporting {
namespace {

constexpr size_t kEventCapacity = 256 * 1024;
constexpr size_t kFolderCapacity = 1024;

char eventBuffers[2][kEventCapacity];
size_t eventLengths[2];
std::atomic<int> currentEvent{-1};  // -1: no crash record is written
wchar_t folder[kFolderCapacity];
decltype(&MiniDumpWriteDump) writeMiniDump = nullptr;

// Stack kept for the filter when a thread's stack overflows.
constexpr ULONG kStackGuarantee = 64 * 1024;
// The crash, handed from the filter to the writer thread.
HANDLE crashed = nullptr;  // set by the filter
HANDLE written = nullptr;  // set by the writer
EXCEPTION_POINTERS* crashPointers = nullptr;
DWORD crashThread = 0;
std::atomic<LONG> crashResult{EXCEPTION_CONTINUE_SEARCH};
std::atomic<bool> crashTaken{false};

// Appends `text` to `out` at `at`; false when it does not fit.
bool Append(wchar_t* out, size_t& at, const wchar_t* text) {
  for (; *text; ++text) {
    if (at + 1 >= kFolderCapacity + 64) return false;
    out[at++] = *text;
  }
  out[at] = L'\0';
  return true;
}

bool AppendHex(wchar_t* out, size_t& at, uint64_t value, int digits) {
  wchar_t text[17];
  for (int i = digits - 1; i >= 0; --i, value >>= 4) text[i] = L"0123456789ABCDEF"[value & 0xF];
  text[digits] = L'\0';
  return Append(out, at, text);
}

// A new file, never one found at the name: a link planted there is not
// followed.
HANDLE CreateNewFile(const wchar_t* path) {
  return CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                     nullptr);
}

bool WriteAll(const wchar_t* path, const char* bytes, size_t length) {
  HANDLE file = CreateNewFile(path);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, bytes, static_cast<DWORD>(length), &written, nullptr) && written == length;
  CloseHandle(file);
  return ok;
}

LONG WriteCrashRecord(EXCEPTION_POINTERS* exception, DWORD threadId) {
  const int current = currentEvent.load();
  if (current < 0) return EXCEPTION_CONTINUE_SEARCH;
  wchar_t base[kFolderCapacity + 64];
  size_t at = 0;
  const uint32_t code = exception && exception->ExceptionRecord ? exception->ExceptionRecord->ExceptionCode : 0;
  if (!Append(base, at, folder) || !Append(base, at, L"\\crash-") || !AppendHex(base, at, code, 8) ||
      !Append(base, at, L"-") || !AppendHex(base, at, GetCurrentProcessId(), 8) ||
      !AppendHex(base, at, GetTickCount64(), 16)) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  const size_t baseLength = at;

  Append(base, at, L".dmp");
  HANDLE dump = CreateNewFile(base);
  if (dump == INVALID_HANDLE_VALUE) return EXCEPTION_CONTINUE_SEARCH;
  MINIDUMP_EXCEPTION_INFORMATION info{};
  info.ThreadId = threadId;
  info.ExceptionPointers = exception;
  info.ClientPointers = FALSE;
  const BOOL dumped = writeMiniDump(GetCurrentProcess(), GetCurrentProcessId(), dump, MiniDumpNormal,
                                    exception ? &info : nullptr, nullptr, nullptr);
  CloseHandle(dump);
  if (!dumped) {
    DeleteFileW(base);
    return EXCEPTION_CONTINUE_SEARCH;
  }

  // The event goes last and under its final name only when complete: the
  // next start sends a record only when both files are there.
  wchar_t eventPath[kFolderCapacity + 64];
  wchar_t tempPath[kFolderCapacity + 64];
  std::memcpy(eventPath, base, baseLength * sizeof(wchar_t));
  std::memcpy(tempPath, base, baseLength * sizeof(wchar_t));
  size_t eventAt = baseLength;
  size_t tempAt = baseLength;
  Append(eventPath, eventAt, L".json");
  Append(tempPath, tempAt, L".json.tmp");
  if (WriteAll(tempPath, eventBuffers[current], eventLengths[current])) {
    MoveFileExW(tempPath, eventPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  }
  return EXCEPTION_EXECUTE_HANDLER;
}

// Waits for a crash, or for the thread that installed the handler (the
// entry thread) to end without the process ending: then that thread was
// killed where no handler could run (Wine does so on a stack overflow it
// cannot dispatch), and this thread must not keep a dead process alive.
DWORD WINAPI CrashWriter(void* entryThread) {
  const HANDLE waits[] = {crashed, static_cast<HANDLE>(entryThread)};
  if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
    DWORD code = 0;
    if (!GetExitCodeThread(waits[1], &code) || code == 0) code = static_cast<DWORD>(EXCEPTION_STACK_OVERFLOW);
    ExitProcess(code);
  }
  crashResult.store(WriteCrashRecord(crashPointers, crashThread));
  SetEvent(written);
  return 0;
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* exception) {
  // The first crash is written; a second thread crashing meanwhile waits
  // here until the process ends.
  if (crashTaken.exchange(true)) {
    Sleep(INFINITE);
    return EXCEPTION_CONTINUE_SEARCH;
  }
  crashPointers = exception;
  crashThread = GetCurrentThreadId();
  SetEvent(crashed);
  WaitForSingleObject(written, 60000);
  return crashResult.load();
}

// dbghelp is no import: a setup started from the downloads folder would load a
// dbghelp.dll planted there before its first instruction. It is loaded here,
// from System32 only, while the process is sound, and stays loaded for the
// life of the process: the filter must not need the loader. Without it no
// crash record can be written.
bool FindMiniDumpWriter() {
  if (writeMiniDump) return true;
  const HMODULE dbghelp = LoadLibraryExW(L"dbghelp.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!dbghelp) return false;
  writeMiniDump = reinterpret_cast<decltype(&MiniDumpWriteDump)>(
      reinterpret_cast<void*>(GetProcAddress(dbghelp, "MiniDumpWriteDump")));
  return writeMiniDump != nullptr;
}

}  // namespace

void GuardThreadStack() {
  ULONG size = kStackGuarantee;
  SetThreadStackGuarantee(&size);
}

void InstallCrashHandler(const std::wstring& path) {
  GuardThreadStack();
  if (path.size() >= kFolderCapacity || !FindMiniDumpWriter()) return;
  std::memcpy(folder, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
  if (crashed) return;  // installed before; the folder may have changed
  crashed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  written = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  // Made now, while the process is sound; it lives as long as the process.
  HANDLE entryThread = nullptr;
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &entryThread,
                  SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION, FALSE, 0);
  HANDLE writer = crashed && written && entryThread
                      ? CreateThread(nullptr, 256 * 1024, CrashWriter, entryThread, 0, nullptr)
                      : nullptr;
  if (!writer) return;
  CloseHandle(writer);
  SetUnhandledExceptionFilter(OnUnhandledException);
}

// Callers serialise these calls (the reporter's lock); the filter may run at
// any moment on another thread and reads only the buffer marked current.
void SetCrashEvent(std::string_view eventJson) {
  if (eventJson.empty()) {
    currentEvent.store(-1);
    return;
  }
  if (eventJson.size() > kEventCapacity) return;  // the last event that fits stays
  const int next = currentEvent.load() == 0 ? 1 : 0;
  std::memcpy(eventBuffers[next], eventJson.data(), eventJson.size());
  eventLengths[next] = eventJson.size();
  currentEvent.store(next);
}

}  // namespace Reporting

#pragma once
// What a contract test needs from the side it runs on. Every contract in this
// folder is compiled twice: into unit_tests, against the in-memory double
// (tests/unit/contract_side.cpp), and into win_integration_tests, against
// real Win32 under Wine (tests/win/contract_side.cpp). A side sets up the
// states that only it can make (a misbehaving service, a served URL, a
// second name of a file) and reads back what the seam cannot tell.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

namespace Side {

// Things one side cannot do. CannotDo gives the reason, or null when it can;
// the reasons are listed in one place per side.
enum class Capability {
  HardLinks,           // a second name of a file
  ReadFailureActions,  // the service's restart actions read back
};
const char* CannotDo(Capability what);

// Called around every contract test: the double is reset, COM is set up
// for the thread, a scratch folder is made (and removed again).
void BeginTest();
void EndTest();
// A folder that exists for the current test only, without a trailing '\'.
std::wstring Scratch();

// --- files ---------------------------------------------------------------------
void SetReadOnly(const std::wstring& path);
// Makes `link` a second name of the existing file `target`.
void MakeHardLink(const std::wstring& link, const std::wstring& target);
// Target of a shortcut made by CreateShortcut; empty when unreadable.
std::wstring ShortcutTarget(const std::wstring& link);

// --- processes -----------------------------------------------------------------
// A program that exits with 7 when run, and the file name it runs under.
std::wstring ChildPath();
std::wstring ChildName();
// Starts `count` copies of the child that keep running until stopped.
void StartSleepingChildren(int count);

// --- services ------------------------------------------------------------------
enum class ServiceBehaviour {
  Normal,      // starts and stops as asked
  StallStart,  // reports "start pending" once and never progresses
  IgnoreStop,  // takes no notice of stop requests
  Linger,      // reports "stopped" but its process stays well past the wait
};
// Binary path of a service that behaves so; after Services::Install, call
// ScriptService with the same behaviour.
std::wstring ServiceBinaryPath(ServiceBehaviour behaviour);
void ScriptService(const wchar_t* name, ServiceBehaviour behaviour);
// Ends whatever is left of the service (its process, its registration)
// without going through Services::, and waits until it is gone.
void RemoveService(const wchar_t* name);
struct ServiceConfig {
  std::wstring binaryPath;
  std::wstring displayName;
  uint32_t startType = 0;
};
ServiceConfig ReadServiceConfig(const wchar_t* name);
bool HasThreeRestartActions(const wchar_t* name);
// Polls IsInstalled until the service is gone; false when it stays.
bool WaitUntilServiceIsGone(const wchar_t* name);

// --- tasks ---------------------------------------------------------------------
struct RegisteredAction {
  std::wstring path;
  std::wstring arguments;
  std::wstring workingDirectory;
};
// The registered action of a task, as the scheduler hands it back.
std::optional<RegisteredAction> ReadTaskAction(const wchar_t* name);
// A session in which the scheduler refuses to run tasks (E_INVALIDARG).
uint32_t RefusedSession();

// --- HTTP ----------------------------------------------------------------------
enum class Served {
  Whole,    // a file with its "Content-Length"
  Chunked,  // the same file without a size
  Cut,      // announces more than it sends
  Missing,  // 404 with the body "not found"
  Refused,  // nothing listens there
};
std::wstring UrlOf(Served what);
// The base URL the served paths hang off ("https://host:port").
std::wstring ServerBase();
// The bytes of the whole file.
std::string ServedFile();

}  // namespace Side

// Skips the current test, saying why, when this side cannot do `what`.
#define SKIP_UNLESS_SIDE_CAN(what)                                     \
  do {                                                                 \
    if (const char* reason = Side::CannotDo(Side::Capability::what)) { \
      GTEST_SKIP() << reason;                                          \
    }                                                                  \
  } while (false)

// Base of every contract test.
class ContractTest : public testing::Test {
 protected:
  void SetUp() override { Side::BeginTest(); }
  void TearDown() override { Side::EndTest(); }
};

#pragma once
// What a contract test needs from the side it runs on. Each contract in this
// folder is compiled into unit_tests against the in-memory double
// (tests/unit/contract_side.cpp) and into win_integration_tests against real
// Win32 under Wine (tests/win/contract_side.cpp). A side sets up the states
// only it can make and reads back what the seam itself cannot tell.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "system/scm_api.h"

namespace ScmApi {
inline void PrintTo(const RecoveryActions& actions, std::ostream* out) {
  *out << "reset " << actions.resetPeriodSeconds << " s, restart after " << actions.restartDelaysMs[0] << ", "
       << actions.restartDelaysMs[1] << ", " << actions.restartDelaysMs[2] << " ms";
}
}  // namespace ScmApi

namespace Side {

// What one side cannot do; CannotDo gives the reason (null: it can). Each
// side lists its reasons in one place.
enum class Capability { HardLinks, ReadFailureActions };
const char* CannotDo(Capability what);

// Around every test: the double reset, COM set up, a scratch folder made
// (Scratch(), no trailing '\') and removed again.
void BeginTest();
void EndTest();
std::wstring Scratch();

// Files.
void SetReadOnly(const std::wstring& path);
void MakeHardLink(const std::wstring& link, const std::wstring& target);
std::wstring ShortcutTarget(const std::wstring& link);  // empty: unreadable

// Processes: a program that exits with 7, and copies of it that keep running.
std::wstring ChildPath();
std::wstring ChildName();
void StartSleepingChildren(int count);

// Services: the binary path of a service that behaves so; after Install,
// ScriptService with the same behaviour.
enum class ServiceBehaviour {
  Normal,
  StallStart,  // "start pending" once, never any progress
  IgnoreStop,  // takes no notice of stop requests
  Linger,      // reports "stopped", its process stays well past the wait
};
std::wstring ServiceBinaryPath(ServiceBehaviour behaviour);
void ScriptService(const wchar_t* name, ServiceBehaviour behaviour);
// Ends whatever is left of the service without Services:: and waits.
void RemoveService(const wchar_t* name);
bool WaitUntilServiceIsGone(const wchar_t* name);
struct ServiceConfig {
  std::wstring binaryPath;
  std::wstring displayName;
  uint32_t startType = 0;
};
ServiceConfig ReadServiceConfig(const wchar_t* name);
// Nothing when the service has no failure actions, or others than restarts.
std::optional<ScmApi::RecoveryActions> ReadRecoveryActions(const wchar_t* name);

// Tasks: the registered action as the scheduler hands it back, and a
// session in which it refuses to run tasks (one without a user).
struct RegisteredAction {
  std::wstring path;
  std::wstring arguments;
  std::wstring workingDirectory;
};
std::optional<RegisteredAction> ReadTaskAction(const wchar_t* name);
uint32_t RefusedSession();

// HTTP: what the server answers at each URL; ServerBase is "https://host:port".
enum class Served {
  Whole,    // a file with its "Content-Length"
  Chunked,  // the same file without a size
  Cut,      // announces more than it sends
  Missing,  // 404 with the body "not found"
  Refused,  // nothing listens there
};
std::wstring UrlOf(Served what);
std::wstring ServerBase();
std::string ServedFile();

}  // namespace Side

// Skips the current test, saying why, when this side cannot do `what`.
#define SKIP_UNLESS_SIDE_CAN(what)                                     \
  do {                                                                 \
    if (const char* reason = Side::CannotDo(Side::Capability::what)) { \
      GTEST_SKIP() << reason;                                          \
    }                                                                  \
  } while (false)

class ContractTest : public testing::Test {
 protected:
  void SetUp() override { Side::BeginTest(); }
  void TearDown() override { Side::EndTest(); }
};

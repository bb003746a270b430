// Sessions of logged-on users.
#include <windows.h>

#include <wtsapi32.h>

#include "system/files.h"
#include "system/user_sessions.h"

namespace {

std::wstring UserName(uint32_t session) {
  wchar_t* name = nullptr;
  DWORD bytes = 0;
  if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session, WTSUserName, &name, &bytes)) return {};
  std::wstring user = name ? name : L"";
  WTSFreeMemory(name);
  return user;
}

}  // namespace

std::vector<uint32_t> GetUserSessionIds() {
  WTS_SESSION_INFOW* sessions = nullptr;
  DWORD count = 0;
  if (!WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count)) return {};
  std::vector<ListedSession> listed;
  for (DWORD i = 0; i < count; ++i) {
    listed.push_back({sessions[i].SessionId, static_cast<uint32_t>(sessions[i].State)});
  }
  WTSFreeMemory(sessions);
  return SelectUserSessions(listed, UserName);
}

// Sessions of logged-on users.
#include <windows.h>

#include <wtsapi32.h>

#include "system/files.h"

std::vector<uint32_t> GetUserSessionIds() {
  WTS_SESSION_INFOW* sessions = nullptr;
  DWORD count = 0;
  std::vector<uint32_t> ids;
  if (!WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count)) return ids;
  // Session 0 belongs to the services, never to a user.
  for (DWORD i = 0; i < count; ++i) {
    if (sessions[i].SessionId != 0) ids.push_back(sessions[i].SessionId);
  }
  WTSFreeMemory(sessions);
  return ids;
}

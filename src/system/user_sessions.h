#pragma once
// Which of the sessions Windows lists have a user a client can run for.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// A session as WTSEnumerateSessionsW lists it; `state` is its
// WTS_CONNECTSTATE_CLASS value.
struct ListedSession {
  uint32_t id = 0;
  uint32_t state = 0;
};

constexpr uint32_t kSessionActive = 0;        // WTSActive
constexpr uint32_t kSessionDisconnected = 4;  // WTSDisconnected

// The sessions, in listed order, that are Active or Disconnected, are not
// session 0 (the services') and have a user name: the Remote Desktop listener
// and a console at the logon screen have none. `userName` is asked only for
// the sessions whose state passes, and answers empty when there is no user or
// the query fails.
std::vector<uint32_t> SelectUserSessions(const std::vector<ListedSession>& listed,
                                         const std::function<std::wstring(uint32_t)>& userName);

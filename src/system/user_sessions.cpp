#include "system/user_sessions.h"

std::vector<uint32_t> SelectUserSessions(const std::vector<ListedSession>& listed,
                                         const std::function<std::wstring(uint32_t)>& userName) {
  std::vector<uint32_t> ids;
  for (const ListedSession& session : listed) {
    if (session.id == 0) continue;
    if (session.state != kSessionActive && session.state != kSessionDisconnected) continue;
    if (!userName(session.id).empty()) ids.push_back(session.id);
  }
  return ids;
}

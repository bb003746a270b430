#include "reporting/database_folder.h"

#include <fmt/format.h>

#include <stdexcept>

#include "app/text.h"

namespace Reporting {

DatabaseFolder ChooseDatabaseFolder() {
  DatabaseFolder chosen;
  // Unknown: there is no folder of this account to use, and the temporary
  // folder is no substitute (others can write there).
  const std::wstring localAppData = GetLocalAppDataFolder();
  if (localAppData.empty()) return chosen;
  try {
    chosen.held = HoldFolders(localAppData, {L"Valdrix", L".sentry"});
  } catch (const std::exception& error) {
    chosen.notice = fmt::format("Reports stay in memory: {}", error.what());
    return chosen;
  }
  if (!chosen.held.link.empty()) {
    // Named from the known folder, which keeps the user's name out of it.
    const std::wstring below = chosen.held.link.substr(localAppData.size());
    chosen.notice =
        fmt::format("Reports stay in memory: \"%LOCALAPPDATA%{}\" is a link, not a folder", Text::ToUtf8(below));
    return chosen;
  }
  chosen.path = localAppData + L"\\Valdrix\\.sentry";
  return chosen;
}

}  // namespace Reporting

#pragma once
// What each answer to a start-up question does to the run. Answers are the
// dialog results IDYES 6, IDNO 7, IDCANCEL 2, and 0 for none.
#include <optional>

#include "app/flags.h"

namespace Ui {

struct Breadcrumb {
  const char* message;
  const char* category;
  const char* level;
};

struct Decision {
  std::optional<Breadcrumb> breadcrumb;
  bool closeSetup = false;
  bool uninstallLegacy = false;
  std::optional<SetupMode> mode;  // set: the run switches to this mode
};

inline constexpr Breadcrumb kAskingLegacy{"Legacy build is installed, asking user to uninstall", "ui", "warning"};
inline constexpr Breadcrumb kAskingInstalled{"Already installed, asking for verification", "ui", "warning"};

bool AsksLegacyQuestion(SetupMode mode);
bool AsksInstalledQuestion(SetupMode mode);
Decision DecideLegacy(int answer);
Decision DecideInstalled(int answer);
// Applies a decision to the flags; false when the setup is to close.
bool ApplyDecision(const Decision& decision, SetupFlags& flags);

}  // namespace Ui

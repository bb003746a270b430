#include "ui/questions.h"

namespace Ui {
namespace {
constexpr int kYes = 6;
constexpr int kNo = 7;
constexpr int kCancel = 2;
}  // namespace

bool AsksLegacyQuestion(SetupMode mode) { return mode == SetupMode::Install || mode == SetupMode::Update; }
bool AsksInstalledQuestion(SetupMode mode) { return mode == SetupMode::Install; }

Decision DecideLegacy(int answer) {
  Decision decision;
  if (answer == kYes) {
    decision.breadcrumb = Breadcrumb{"Yes to uninstall legacy build", "ui.click", "info"};
    decision.uninstallLegacy = true;
  } else if (answer == kNo) {
    decision.breadcrumb = Breadcrumb{"No to close the setup", "ui.click", "info"};
    decision.closeSetup = true;
  }
  // Anything else goes on without the flag; the install flow then stops at
  // the legacy build.
  return decision;
}

Decision DecideInstalled(int answer) {
  Decision decision;
  if (answer == kCancel) {
    decision.breadcrumb = Breadcrumb{"Cancel to close the setup", "ui.click", "info"};
    decision.closeSetup = true;
  } else if (answer == kYes) {
    decision.breadcrumb = Breadcrumb{"Yes to verify", "ui.click", "info"};
    decision.mode = SetupMode::Verify;
  } else if (answer == kNo) {
    decision.breadcrumb = Breadcrumb{"No to start a full re-install", "ui.click", "info"};
  }
  return decision;
}

bool ApplyDecision(const Decision& decision, SetupFlags& flags) {
  if (decision.closeSetup) return false;
  if (decision.uninstallLegacy) flags.legacyUninstall = true;
  if (decision.mode) flags.mode = *decision.mode;
  return true;
}

}  // namespace Ui

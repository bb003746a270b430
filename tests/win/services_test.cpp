// The recovery actions as the service manager gets them: Wine accepts them but
// cannot report them back, so the mapping is checked here, on its own.
#include <windows.h>

#include <gtest/gtest.h>

#include "system/win/failure_actions.h"

TEST(FailureActions, RestartAfterEachDelayInOrderWithinTheResetPeriod) {
  for (const ScmApi::RecoveryActions recovery :
       {ScmApi::RecoveryActions{60, {5000, 10000, 30000}}, ScmApi::RecoveryActions{86400, {30000, 1000, 0}}}) {
    SC_ACTION actions[3];
    const SERVICE_FAILURE_ACTIONSW failure = ScmApi::FailureActions(recovery, actions);
    EXPECT_EQ(failure.dwResetPeriod, recovery.resetPeriodSeconds);
    EXPECT_EQ(failure.lpRebootMsg, nullptr);
    EXPECT_EQ(failure.lpCommand, nullptr);
    ASSERT_EQ(failure.cActions, 3u);
    ASSERT_EQ(failure.lpsaActions, actions);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(actions[i].Type, SC_ACTION_RESTART) << i;
      EXPECT_EQ(actions[i].Delay, recovery.restartDelaysMs[i]) << i;
    }
  }
}

#pragma once
// The single-instance guard of the setup: the named mutex
// "Global\Valdrix.Setup", one for the whole machine.
#include <cstdint>

#include "system/safe_handle.h"

struct InstanceMutex {
  enum class Outcome {
    kOwned,         // ours until the end (made by this run, or left by a run that ended)
    kAnotherSetup,  // held by a setup run that still runs
    kTakenByOther,  // the name is held by something that is not a setup run
    kFailed,        // could not be created or opened; `error` says why
  };
  Outcome outcome = Outcome::kFailed;
  uint32_t error = 0;
  uint32_t waitedMs = 0;  // how long a run that held it kept this one waiting
  SafeHandle handle;      // set for kOwned only
};

// Creates the mutex with BUILTIN\Administrators as its owner, which an
// elevated administrator and SYSTEM may give it and a standard user may not,
// and with access for SYSTEM and Administrators only. A mutex of that name
// with any other owner was made by someone else to keep setups from running:
// it is closed at once and never waited on. One that another setup run holds
// is waited for up to `waitMs` (0: not at all).
InstanceMutex AcquireInstanceMutex(const wchar_t* name, uint32_t waitMs);

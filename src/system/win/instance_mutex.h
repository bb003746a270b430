#pragma once
// The single-instance guard of the setup: the named mutex "Valdrix.Setup".
#include <cstdint>

#include "system/safe_handle.h"

struct InstanceMutex {
  enum class Outcome {
    kOwned,         // made by this run and waited on: it is ours until the end
    kAnotherSetup,  // made by a setup run that still runs
    kTakenByOther,  // the name is held by something that is not a setup run
    kFailed,        // could not be created or opened; `error` says why
  };
  Outcome outcome = Outcome::kFailed;
  uint32_t error = 0;
  SafeHandle handle;  // set for kOwned only
};

// Creates the mutex with BUILTIN\Administrators as its owner, which an
// elevated administrator and SYSTEM may give it and a standard user may not.
// A mutex of that name with any other owner was made by someone else to keep
// setups from running: it is closed at once and never waited on.
InstanceMutex AcquireInstanceMutex(const wchar_t* name);

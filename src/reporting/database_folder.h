#pragma once
// Where this run keeps its reports: "<local app data>\Valdrix\.sentry".
// The setup runs elevated, and that folder lies in the profile of the
// account that started it, which the same user's unelevated programs can
// write: they could put a junction at "Valdrix" or ".sentry" and have the
// elevated run write, rename and delete files wherever it points. So each
// folder on the way is held for the whole run (see HoldFolders), and a link
// among them leaves the run with its reports in memory.
#include <string>

#include "system/files.h"

namespace Reporting {

struct DatabaseFolder {
  std::wstring path;   // empty: reports stay in memory for this run
  HeldFolders held;    // keep for as long as the folder is used
  std::string notice;  // why the folder is not used, as a breadcrumb; empty when it is
};

// Never throws: a folder that cannot be used only means reports in memory.
DatabaseFolder ChooseDatabaseFolder();

}  // namespace Reporting

#pragma once
// Download verification and staging: digests, prerequisite installers, the
// ".tmp" files next to their final places, and the marker files of the
// install folder.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/context.h"
#include "manifest/update_manifest.h"
#include "net/http.h"
#include "staging/relative_path.h"
#include "system/files.h"

struct PendingMove {
  std::wstring temporaryPath;
  std::wstring finalPath;
  int64_t version = 0;
};

bool VerifyChecksum(const Platform::HttpRequest& request, std::wstring_view expected);

// Prerequisite installers are kept in "<install folder>Prerequisites\": the
// install folder lies in Program Files, which only administrators and SYSTEM
// can write, so nobody else can plant a file (a DLL the installer would load)
// beside an installer that runs with the setup's rights. The installers
// unpack into its "Temp\" subfolder, passed to them as TEMP and TMP.
std::wstring PrerequisiteFolder(std::wstring_view installPath);
std::wstring PrerequisiteTempFolder(std::wstring_view installPath);

// The installer, downloaded into (or found in) the prerequisite folder of
// `context.installPath`, which is created when missing. It is held (see
// HeldFile) from its digest check until its process has ended.
HeldFile DownloadPrerequisite(const Prerequisite& prerequisite, Setup::Context& context);
// Run to their end with TEMP and TMP set to the "Temp\" subfolder of the
// installer's own folder. An install is recorded only when the installer's
// exit code says so (0, 3010, 1641); any other is logged as a WARNING.
void InstallPrerequisite(const Prerequisite& prerequisite, HeldFile installer);
void RepairPrerequisite(const Prerequisite& prerequisite, HeldFile installer);
bool IsPrerequisiteInstalled(const Prerequisite& prerequisite);
void SetPrerequisiteInstalled(const Prerequisite& prerequisite, bool installed);
void ImportInstalledPrerequisites(std::wstring_view installPath);

PendingMove StageFile(Setup::Context& context, const std::shared_ptr<Platform::HttpSession>& session,
                      const ManifestFile& file, std::wstring_view finalPath);
// Moves each staged file into place, stamped and written through to the
// disk when it was staged. `beforeMove` runs before each move.
void CommitStagedFiles(const std::vector<PendingMove>& moves,
                       const std::function<void(const PendingMove&)>& beforeMove = {});
void WriteAppVersionFile(std::wstring_view installPath, std::wstring_view appVersion);

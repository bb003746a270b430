#pragma once
// Download verification and staging: digests, prerequisite installers, the
// ".tmp" files next to their final places, and the marker files of the
// install folder.
#include <cstdint>
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

// The installer in the temporary folder, which other users may write: it is
// held (see HeldFile) from its digest check until its process has ended, so
// nobody can swap it in between.
HeldFile DownloadPrerequisite(const Prerequisite& prerequisite, Setup::Context& context);
void InstallPrerequisite(const Prerequisite& prerequisite, HeldFile installer);
void RepairPrerequisite(const Prerequisite& prerequisite, HeldFile installer);
bool IsPrerequisiteInstalled(const Prerequisite& prerequisite);
void SetPrerequisiteInstalled(const Prerequisite& prerequisite, bool installed);
void ImportInstalledPrerequisites(std::wstring_view installPath);

PendingMove StageFile(Setup::Context& context, const std::shared_ptr<Platform::HttpSession>& session,
                      const ManifestFile& file, std::wstring_view finalPath);
void CommitStagedFiles(const std::vector<PendingMove>& moves);
void WriteAppVersionFile(std::wstring_view installPath, std::wstring_view appVersion);

#include "staging/staging.h"

#include <fmt/format.h>

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "app/log.h"
#include "app/text.h"
#include "net/progress_request.h"
#include "staging/prerequisite_list.h"
#include "staging/relative_path.h"
#include "system/clock.h"
#include "system/errors.h"
#include "system/files.h"
#include "system/registry.h"

namespace {

constexpr wchar_t kPartialSuffix[] = L".download";
constexpr int kMoveAttempts = 5;
constexpr uint32_t kMoveRetryDelayMs = 1000;
constexpr int kBadExeFormat = 193;
constexpr wchar_t kPrerequisiteFolder[] = L"Prerequisites\\";
constexpr wchar_t kInstallerTempFolder[] = L"Temp\\";

// What an installer's exit code says: installed (0), installed once the
// machine restarts (3010 ERROR_SUCCESS_REBOOT_REQUIRED, 1641
// ERROR_SUCCESS_REBOOT_INITIATED); anything else, such as 1618 (another
// installation in progress), is not installed.
bool IsInstalledExitCode(uint32_t exitCode) { return exitCode == 0 || exitCode == 3010 || exitCode == 1641; }

std::wstring PrerequisiteValueName(const Prerequisite& prerequisite) { return L"SetupPreReq" + prerequisite.id; }

// Best effort: a leftover that cannot be deleted is reported in the log and
// the failure that led here is the one the caller sees.
void RemoveLeftover(const std::wstring& path) {
  try {
    if (PathExists(path)) RemoveFile(path);
  } catch (const std::exception& error) {
    SetupLog::Warning("Unable to delete \"%S\": %s", path, error.what());
  }
}

bool DigestMatches(const Sha256& digest, std::wstring_view expected) {
  return digest.HexDigest() == Text::ToUtf8(expected);
}

// Holds the installer at `path` when its content matches the digest (any
// content when there is none). Empty when it does not match or cannot be
// held (a link, a file someone else has open for writing).
HeldFile HoldMatchingInstaller(const std::wstring& path, std::wstring_view expected) {
  HeldFile held;
  try {
    held = HoldFile(path);
  } catch (const std::system_error& error) {
    SetupLog::Warning("Unable to hold installer \"%S\": %s", path, error.what());
    return {};
  }
  if (expected.empty()) return held;
  Sha256 digest;
  ReadHeldFile(held, [&digest](const uint8_t* data, size_t size) { digest.Update(data, size); });
  if (!DigestMatches(digest, expected)) return {};
  return held;
}

// The folders are made by this run of an administrator or SYSTEM inside the
// install folder; one that cannot be made ends the run here rather than at
// the download.
void MakeFolder(const std::wstring& folder) {
  if (const uint32_t error = EnsureDirectory(folder)) {
    Errors::ThrowSystem(error, fmt::format("Unable to create folder \"{}\"", Text::ToUtf8(folder)));
  }
}

// The installer's own folder followed by "Temp\", without the trailing
// backslash, as TEMP and TMP are usually written.
std::wstring InstallerTempFolder(const std::wstring& installerPath) {
  std::wstring folder = installerPath.substr(0, installerPath.find_last_of(L'\\') + 1) + kInstallerTempFolder;
  folder.pop_back();
  return folder;
}

// Downloads `url` to `path`, checks the digest, stamps the file when a stamp
// is given and writes it through to the disk before anyone renames it; on
// any failure the file is deleted, so nothing half-written or unverified
// stays behind.
void DownloadVerified(Setup::Context& context, const std::shared_ptr<Platform::HttpSession>& session,
                      std::wstring_view url, std::wstring_view sha256, std::optional<uint64_t> size,
                      const std::wstring& path, std::optional<int64_t> stamp) {
  try {
    {
      // The request owns the output file: it is closed before any deletion.
      const auto request = Setup::ProgressReportingGetRequest(context, session, url);
      request->ExpectFileSize(size);
      request->StartToFile(path);
      if (!sha256.empty() && !VerifyChecksum(*request, sha256)) {
        throw std::runtime_error("Downloaded file did not match checksum");
      }
    }
    FlushFile(path, stamp);
  } catch (...) {
    RemoveLeftover(path);
    throw;
  }
}

}  // namespace

bool VerifyChecksum(const Platform::HttpRequest& request, std::wstring_view expected) {
  return DigestMatches(request.Digest(), expected);
}

std::wstring PrerequisiteFolder(std::wstring_view installPath) {
  return std::wstring(installPath) + kPrerequisiteFolder;
}

std::wstring PrerequisiteTempFolder(std::wstring_view installPath) {
  return PrerequisiteFolder(installPath) + kInstallerTempFolder;
}

HeldFile DownloadPrerequisite(const Prerequisite& prerequisite, Setup::Context& context) {
  CheckFileName(prerequisite.file);
  MakeFolder(PrerequisiteFolder(context.installPath));
  MakeFolder(PrerequisiteTempFolder(context.installPath));
  std::wstring path = PrerequisiteFolder(context.installPath) + prerequisite.file;
  if (PathExists(path)) {
    if (HeldFile held = HoldMatchingInstaller(path, prerequisite.sha256)) return held;
    SetupLog::Warning("Installer \"%S\" cannot be used as it is, downloading it again", path);
    RemoveFile(path);
  }
  // Downloaded under another name and moved into place only once complete and
  // verified: a failed download never passes for the installer next time.
  const std::wstring partial = path + kPartialSuffix;
  RemoveLeftover(partial);
  DownloadVerified(context, Platform::HttpSession::Create(), prerequisite.url, prerequisite.sha256, prerequisite.size,
                   partial, std::nullopt);
  if (const uint32_t error = MoveFileWithFlags(partial, path, kMoveReplaceExisting | kMoveWriteThrough)) {
    RemoveLeftover(partial);
    Errors::ThrowSystem(error, fmt::format("Unable to move temporary file \"{}\" to \"{}\"", Text::ToUtf8(partial),
                                           Text::ToUtf8(path)));
  }
  // Checked again through the handle that keeps it until it has run: the
  // file could have been changed since it was written.
  if (HeldFile held = HoldMatchingInstaller(path, prerequisite.sha256)) return held;
  RemoveLeftover(path);
  throw std::runtime_error("Downloaded file did not match checksum");
}

void InstallPrerequisite(const Prerequisite& prerequisite, HeldFile installer) {
  const std::wstring path = installer.Path();
  try {
    const uint32_t exitCode = RunInstaller(path, prerequisite.params, InstallerTempFolder(path));
    installer.Release();
    if (!IsInstalledExitCode(exitCode)) {
      // Not recorded, so that the next update runs it again.
      SetupLog::Warning("Prerequisite \"%S\" did not install (exit code %u)", prerequisite.name, exitCode);
      return;
    }
    SetPrerequisiteInstalled(prerequisite, true);
  } catch (const std::system_error& error) {
    installer.Release();
    // Not a valid program: the next run downloads it again.
    if (error.code().value() == kBadExeFormat) RemoveLeftover(path);
    throw;
  }
}

// Takes the hold over (by value on purpose): the installer is released when
// the repair has run.
// cppcheck-suppress passedByValue
void RepairPrerequisite(const Prerequisite& prerequisite, HeldFile installer) {
  RunInstaller(installer.Path(), prerequisite.paramsRepair, InstallerTempFolder(installer.Path()));
}

bool IsPrerequisiteInstalled(const Prerequisite& prerequisite) {
  return SettingsStore::Instance().GetDword(PrerequisiteValueName(prerequisite).c_str()) == 1;
}

void SetPrerequisiteInstalled(const Prerequisite& prerequisite, bool installed) {
  SettingsStore::Instance().SetDword(PrerequisiteValueName(prerequisite).c_str(), installed ? 1 : 0);
}

void ImportInstalledPrerequisites(std::wstring_view installPath) {
  const std::wstring path = std::wstring(installPath) + L"manifest_prereqs.txt";
  if (!PathExists(path)) return;
  std::string bytes;
  if (ReadFileBytes(path, bytes)) {
    // Read whole before anything is written: a list that is refused leaves
    // the registry as it was.
    std::vector<std::wstring> ids;
    try {
      ids = ReadPrerequisiteList(bytes);
    } catch (const std::runtime_error& error) {
      SetupLog::Warning("Ignoring \"%S\": %s", path, error.what());
    }
    for (const std::wstring& id : ids) SettingsStore::Instance().SetDword((L"SetupPreReq" + id).c_str(), 1);
  }
  RemoveFile(path);
}

PendingMove StageFile(Setup::Context& context, const std::shared_ptr<Platform::HttpSession>& session,
                      const ManifestFile& file, std::wstring_view finalPath) {
  PendingMove move{std::wstring(finalPath) + L".tmp", std::wstring(finalPath), file.version};
  DownloadVerified(context, session, file.url, file.sha256, file.size, move.temporaryPath, file.version);
  return move;
}

void CommitStagedFiles(const std::vector<PendingMove>& moves,
                       const std::function<void(const PendingMove&)>& beforeMove) {
  for (const PendingMove& move : moves) {
    if (beforeMove) beforeMove(move);
    for (int attempt = 1;; ++attempt) {
      const uint32_t error =
          MoveFileWithFlags(move.temporaryPath, move.finalPath, kMoveReplaceExisting | kMoveWriteThrough);
      if (error == 0) break;
      SetupLog::Error("Unable to move temporary file \"%S\" to \"%S\" (error %u, attempt %d)", move.temporaryPath,
                      move.finalPath, error, attempt);
      if (attempt == kMoveAttempts) {
        Errors::ThrowSystem(error, fmt::format("Unable to move temporary file \"{}\" to \"{}\"",
                                               Text::ToUtf8(move.temporaryPath), Text::ToUtf8(move.finalPath)));
      }
      Clock::SleepMs(kMoveRetryDelayMs);
    }
  }
}

void WriteAppVersionFile(std::wstring_view installPath, std::wstring_view appVersion) {
  const std::wstring path = std::wstring(installPath) + L"app_version.txt";
  if (!WriteFileBytes(path, Text::ToBytes(appVersion))) SetupLog::Warning("Unable to write \"%S\"", path);
}

#pragma once
// The database folder: envelopes waiting to be sent, one file each, and the
// files a crash left behind. Every envelope is written under a temporary
// name and renamed, so a half-written file is never taken for an envelope.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Reporting {

// Files larger than these are not this client's and are deleted unread. A
// minidump of the setup (MiniDumpNormal: its few threads' stacks and the
// module list) is a few hundred KiB; its event with a full trail of
// breadcrumbs is tens of KiB. The caps leave ample room above both.
inline constexpr uint64_t kMaxCrashEventBytes = uint64_t{1} << 20;  // "<base>.json"
inline constexpr uint64_t kMaxMinidumpBytes = uint64_t{16} << 20;   // "<base>.dmp"
// An envelope holds at most one event and one minidump, plus their headers.
inline constexpr uint64_t kMaxEnvelopeBytes = kMaxMinidumpBytes + kMaxCrashEventBytes + (uint64_t{64} << 10);

class Outbox {
 public:
  static constexpr size_t kMaxPending = 100;

  // Creates the folder and removes temporary files of interrupted writes.
  // False when the folder cannot be used.
  bool Open(const std::filesystem::path& folder);
  const std::filesystem::path& Folder() const { return folder_; }

  // Stores an envelope as "<name>.envelope"; false when it could not be
  // written. The oldest envelopes beyond kMaxPending are dropped.
  bool Store(std::string_view name, std::string_view envelope) const;
  // Names of the stored envelopes, oldest first.
  std::vector<std::string> Pending() const;
  // nullopt for a file that cannot be read; one above kMaxEnvelopeBytes is
  // deleted unread.
  std::optional<std::string> Read(const std::string& name) const;
  void Remove(const std::string& name) const;

  // Crash records: "<base>.json" (the event) beside "<base>.dmp" (the
  // minidump). Only complete pairs are listed; the crash handler writes the
  // event last.
  std::vector<std::string> CrashRecords() const;
  // A file of the folder up to `cap` bytes; a larger one is deleted unread.
  std::optional<std::string> ReadFile(const std::string& fileName, uint64_t cap) const;
  bool Has(const std::string& fileName) const;
  void RemoveFile(const std::string& fileName) const;

 private:
  std::filesystem::path folder_;
};

// Paths are built from UTF-8 so that wide paths work on both targets.
std::filesystem::path PathFromWide(std::wstring_view path);

}  // namespace Reporting

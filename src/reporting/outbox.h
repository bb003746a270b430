#pragma once
// The database folder: envelopes waiting to be sent, one file each, and the
// files a crash left behind. Every envelope is written under a temporary
// name and renamed, so a half-written file is never taken for an envelope.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Reporting {

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
  std::optional<std::string> Read(const std::string& name) const;
  void Remove(const std::string& name) const;

  // Crash records: "<base>.json" (the event) beside "<base>.dmp" (the
  // minidump). Only complete pairs are listed; the crash handler writes the
  // event last.
  std::vector<std::string> CrashRecords() const;
  std::optional<std::string> ReadFile(const std::string& fileName) const;
  void RemoveFile(const std::string& fileName) const;

 private:
  std::filesystem::path folder_;
};

// Paths are built from UTF-8 so that wide paths work on both targets.
std::filesystem::path PathFromWide(std::wstring_view path);

}  // namespace Reporting

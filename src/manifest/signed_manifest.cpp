#include <fmt/format.h>

#include <stdexcept>
#include <string>

#include "app/log.h"
#include "app/text.h"
#include "manifest/manifest_statement.h"
#include "manifest/update_manifest.h"
#include "system/clock.h"
#include "system/registry.h"

namespace {

// The highest statement serial this machine has accepted, under the product
// key; the uninstall removes it with the key.
constexpr wchar_t kSerialValue[] = L"ManifestSerial";

int64_t HighestAcceptedSerial() {
  const std::wstring text = SettingsStore::Instance().GetString(kSerialValue);
  int64_t serial = 0;
  if (text.empty() || text.size() > 18) return text.empty() ? 0 : -1;
  for (const wchar_t c : text) {
    if (c < L'0' || c > L'9') return -1;
    serial = serial * 10 + (c - L'0');
  }
  return serial;
}

// Without a digest a file would rest on TLS alone.
void RequireDigests(const UpdateManifest& manifest) {
  for (const Prerequisite& prerequisite : manifest.prerequisites) {
    if (prerequisite.sha256.empty())
      throw std::runtime_error(
          fmt::format("Prerequisite \"{}\" has no SHA-256 in the manifest", Text::ToUtf8(prerequisite.file)));
  }
  for (const ManifestFile& file : manifest.files) {
    if (file.sha256.empty())
      throw std::runtime_error(fmt::format("File \"{}\" has no SHA-256 in the manifest", Text::ToUtf8(file.path)));
  }
}

}  // namespace

void FetchSignedManifest(UpdateManifest& manifest, const std::vector<std::string>& keys) {
  const std::string document = DownloadDocument(ManifestUrl());
  std::string statementText;
  try {
    statementText = DownloadDocument(StatementUrl());
  } catch (const std::exception& error) {
    throw std::runtime_error(fmt::format("Manifest statement unavailable: {}", error.what()));
  }
  int64_t highest = HighestAcceptedSerial();
  if (highest < 0) {
    // Only an administrator can write the value; a damaged one starts afresh.
    SetupLog::Warning("Recorded manifest serial is not a number; starting afresh");
    highest = 0;
  }
  const ManifestStatement::Statement statement =
      ManifestStatement::Check(document, statementText, keys, Clock::UnixTimeNow(), highest);
  if (statement.serial > highest) SettingsStore::Instance().SetString(kSerialValue, std::to_wstring(statement.serial));
  SetupLog::Info("Manifest statement accepted (serial %s, expires %s)", std::to_string(statement.serial),
                 ManifestStatement::UtcText(statement.expires));
  ParseManifest(manifest, document);
  RequireDigests(manifest);
}

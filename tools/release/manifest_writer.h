#pragma once
// Writing the update manifest ("/update/v2/windows.json") from a folder of
// product files, and checking a document against the rules the setup's
// manifest reader applies (plus the ones a publisher must never break).
#include <nlohmann/json.hpp>

#include <filesystem>
#include <optional>
#include <string>

namespace Release {

struct ManifestOptions {
  std::filesystem::path filesDir;
  std::string baseUrl;  // product files are published at baseUrl + "/" + path
  std::optional<std::filesystem::path> prereqsFile;
  std::string appVersion;
};

// Prerequisite installers are published under this folder of the base URL
// unless their description names a URL.
inline constexpr const char* kPrereqFolder = "prereqs";

nlohmann::json BuildManifest(const ManifestOptions& options);
// Throws std::runtime_error naming the first offending entry.
void ValidateManifest(const nlohmann::json& manifest);

std::string FileSha256(const std::filesystem::path& file);
// "a b\c.dll" -> "a%20b/c.dll": a relative manifest path as a URL path.
std::string UrlPath(const std::string& relativePath);

}  // namespace Release

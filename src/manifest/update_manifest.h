#pragma once
// The update manifest: what the product consists of, from
// "/update/v2/windows.json" on the update server.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct ManifestFile {
  std::wstring path;
  int64_t version = 0;
  std::wstring url;
  std::wstring sha256;
  // "size": the exact size in bytes. Kept only from a manifest that its signed
  // statement vouches for; the download must then be exactly this size.
  std::optional<uint64_t> size = std::nullopt;
};

struct Prerequisite {
  std::wstring file;
  std::wstring id;
  std::wstring name;
  std::wstring url;
  std::wstring sha256;
  std::wstring params;
  std::wstring paramsRepair;
  std::vector<std::wstring> archs;
  std::optional<uint64_t> size = std::nullopt;  // as ManifestFile::size
};

struct UpdateManifest {
  int32_t version = 0;
  std::wstring appVersion;
  std::vector<Prerequisite> prerequisites;
  std::vector<ManifestFile> files;
  std::vector<std::wstring> zips;
};

// Parses a manifest document into the record (appending to its lists).
// Throws the JSON library's exceptions, and std::runtime_error for a "size"
// that is not a whole number.
void ParseManifest(UpdateManifest& manifest, std::string_view document);
// The largest manifest document taken.
inline constexpr uint64_t kManifestSizeLimit = 16 << 20;
// Downloads the document and parses it; a larger one than the limit fails
// with "Manifest is larger than 16 MiB". Nothing vouches for its sizes, so
// they are dropped.
void FetchManifest(UpdateManifest& manifest, std::wstring_view url);
// For a setup with built-in manifest keys: downloads the manifest and its
// signed statement, accepts the manifest only as the statement allows (and
// records its serial), parses it, and refuses an entry without a digest.
void FetchSignedManifest(UpdateManifest& manifest, const std::vector<std::string>& keys);
// The body of a GET, as bytes.
std::string DownloadDocument(std::wstring_view url);
std::wstring ManifestUrl();
std::wstring StatementUrl();

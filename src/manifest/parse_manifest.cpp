#include "manifest/update_manifest.h"

#include <nlohmann/json.hpp>

#include <fmt/format.h>

#include <cstdlib>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

#include "app/text.h"
#include "staging/relative_path.h"

namespace {

using Json = nlohmann::json;

std::wstring String(const Json& object, const char* key) { return Text::FromUtf8(object.value(key, std::string())); }

// Decimal text to a 64-bit number the C runtime's way: leading blanks, a sign,
// digits up to the first other character; no digits give 0.
int64_t ParseVersion(const std::string& text) { return std::strtoll(text.c_str(), nullptr, 10); }

// Absent or null: none. Otherwise a JSON number of bytes, whole and not negative.
std::optional<uint64_t> ReadSize(const Json& element, const std::wstring& name) {
  const auto size = element.find("size");
  if (size == element.end() || size->is_null()) return std::nullopt;
  if (!size->is_number_unsigned()) {
    throw std::runtime_error(fmt::format("\"{}\" has a size that is not a number of bytes", Text::ToUtf8(name)));
  }
  return size->get<uint64_t>();
}

Prerequisite ReadPrerequisite(const Json& element) {
  Prerequisite prerequisite;
  prerequisite.file = String(element, "file");
  prerequisite.id = String(element, "id");
  prerequisite.name = String(element, "name");
  prerequisite.url = String(element, "url");
  prerequisite.sha256 = String(element, "sha256");
  prerequisite.params = String(element, "params");
  prerequisite.paramsRepair = String(element, "params-repair");
  if (const auto archs = element.find("archs"); archs != element.end()) {
    for (const Json& arch : *archs) {
      if (arch.is_string()) prerequisite.archs.push_back(Text::FromUtf8(arch.get<std::string>()));
    }
  }
  prerequisite.size = ReadSize(element, prerequisite.file);
  return prerequisite;
}

// A number or a boolean; a floating value is truncated toward zero, and one
// beyond the 32-bit range saturates (converting it directly is undefined).
int32_t ReadVersion(const Json& value) {
  if (!value.is_number_float()) return value.get<int32_t>();
  const double number = value.get<double>();
  constexpr double kMin = std::numeric_limits<int32_t>::min();
  constexpr double kMax = std::numeric_limits<int32_t>::max();
  if (!(number > kMin)) return number == number ? std::numeric_limits<int32_t>::min() : 0;
  if (!(number < kMax)) return std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(number);
}

ManifestFile ReadFile(const Json& element) {
  ManifestFile file;
  file.path = String(element, "path");
  file.version = ParseVersion(element.value("version", std::string("0")));
  file.url = String(element, "url");
  file.sha256 = String(element, "sha256");
  file.size = ReadSize(element, file.path);
  return file;
}

// Every path the manifest names must stay inside its folder, and an
// installer directly in the prerequisite folder; checked before anything is
// downloaded.
void CheckPaths(const UpdateManifest& manifest) {
  for (const Prerequisite& prerequisite : manifest.prerequisites) CheckFileName(prerequisite.file);
  for (const ManifestFile& file : manifest.files) CheckRelativePath(file.path);
}

}  // namespace

void ParseManifest(UpdateManifest& manifest, std::string_view document) {
  Json root = Json::parse(document.begin(), document.end(), nullptr, true, false);
  // Non-const access: a null document reads as an object without keys, so it
  // fails on the missing "version" like an empty object does.
  manifest.version = ReadVersion(root["version"]);
  manifest.appVersion = String(root, "app_version");
  for (const Json& element : root["prereqs"]) manifest.prerequisites.push_back(ReadPrerequisite(element));
  for (const Json& element : root["files"]) manifest.files.push_back(ReadFile(element));
  for (const Json& element : root["zips"]) manifest.zips.push_back(String(element, "url"));
  CheckPaths(manifest);
}

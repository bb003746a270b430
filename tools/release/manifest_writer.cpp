#include "manifest_writer.h"

#include <sys/stat.h>

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <set>
#include <stdexcept>

#include "app/text.h"
#include "manifest/update_manifest.h"
#include "staging/relative_path.h"
#include "staging/sha256.h"

namespace Release {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

bool IsHexDigest(const std::string& text) {
  return text.size() == 64 &&
         std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool IsHttpUrl(const std::string& url) { return url.starts_with("http://") || url.starts_with("https://"); }

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

const json& StringField(const json& object, const char* key, const std::string& where) {
  const auto found = object.find(key);
  if (found == object.end() || !found->is_string())
    throw std::runtime_error(fmt::format("{}: \"{}\" must be a string", where, key));
  return *found;
}

void ValidateFile(const json& file, size_t index, std::set<std::string>& seen) {
  const std::string where = fmt::format("files[{}]", index);
  if (!file.is_object()) throw std::runtime_error(where + ": not an object");
  const std::string path = StringField(file, "path", where);
  if (path.empty()) throw std::runtime_error(where + ": empty path");
  if (path.find('/') != std::string::npos || path.find(':') != std::string::npos || path.front() == '\\' ||
      path.back() == '\\')
    throw std::runtime_error(fmt::format("{}: \"{}\" is not a relative path with backslashes", where, path));
  // The setup creates the install folder itself and nothing below it.
  if (path.find('\\') != std::string::npos)
    throw std::runtime_error(fmt::format("{}: \"{}\" is in a subfolder, which the setup does not create", where, path));
  for (size_t start = 0; start <= path.size();) {
    const size_t end = std::min(path.find('\\', start), path.size());
    const std::string part = path.substr(start, end - start);
    if (part.empty() || part == "." || part == "..")
      throw std::runtime_error(fmt::format("{}: \"{}\" leaves the install folder", where, path));
    start = end + 1;
  }
  if (!seen.insert(Lower(path)).second) throw std::runtime_error(fmt::format("{}: \"{}\" listed twice", where, path));
  if (!IsHttpUrl(StringField(file, "url", where))) throw std::runtime_error(where + ": url must be http or https");
  if (!IsHexDigest(StringField(file, "sha256", where)))
    throw std::runtime_error(where + ": sha256 must be 64 lowercase hexadecimal characters");
  const std::string version = StringField(file, "version", where);
  if (version.empty() || !std::all_of(version.begin(), version.end(), [](char c) { return c >= '0' && c <= '9'; }))
    throw std::runtime_error(where + ": version must be a decimal number in a string");
}

void ValidatePrereq(const json& prereq, size_t index, std::set<std::string>& ids) {
  const std::string where = fmt::format("prereqs[{}]", index);
  if (!prereq.is_object()) throw std::runtime_error(where + ": not an object");
  // The setup's own rule: installers are kept directly in its prerequisite
  // folder, so the name must be a single one.
  try {
    CheckFileName(Text::FromUtf8(StringField(prereq, "file", where).get<std::string>()));
  } catch (const std::runtime_error& error) {
    throw std::runtime_error(fmt::format("{}: {}", where, error.what()));
  }
  const std::string id = StringField(prereq, "id", where);
  if (id.empty() || !ids.insert(id).second) throw std::runtime_error(where + ": id must be present and unique");
  StringField(prereq, "name", where);
  StringField(prereq, "params", where);
  StringField(prereq, "params-repair", where);
  if (!IsHttpUrl(StringField(prereq, "url", where))) throw std::runtime_error(where + ": url must be http or https");
  if (!IsHexDigest(StringField(prereq, "sha256", where)))
    throw std::runtime_error(where + ": sha256 must be 64 lowercase hexadecimal characters");
  const auto archs = prereq.find("archs");
  if (archs != prereq.end()) {
    if (!archs->is_array()) throw std::runtime_error(where + ": archs must be an array");
    for (const auto& arch : *archs)
      if (!arch.is_string()) throw std::runtime_error(where + ": archs must hold strings");
  }
}

int64_t ModificationTime(const fs::path& file) {
  struct stat info {};
  if (stat(file.c_str(), &info) != 0) throw std::runtime_error(fmt::format("Unable to examine \"{}\"", file.string()));
  return static_cast<int64_t>(info.st_mtime);
}

json ReadPrereqs(const fs::path& description, const std::string& baseUrl) {
  std::ifstream in(description, std::ios::binary);
  if (!in) throw std::runtime_error(fmt::format("Unable to read \"{}\"", description.string()));
  json list;
  try {
    list = json::parse(in);
  } catch (const json::exception& error) {
    throw std::runtime_error(fmt::format("{}: {}", description.string(), error.what()));
  }
  if (list.is_object() && list.contains("prereqs")) list = list["prereqs"];
  if (!list.is_array()) throw std::runtime_error(description.string() + ": expected an array of prerequisites");
  json out = json::array();
  for (size_t i = 0; i < list.size(); ++i) {
    const json& entry = list[i];
    const std::string where = fmt::format("{}[{}]", description.string(), i);
    if (!entry.is_object()) throw std::runtime_error(where + ": not an object");
    const std::string file = StringField(entry, "file", where);
    const std::string source = StringField(entry, "source", where);
    const fs::path installer = description.parent_path() / source;
    json prereq = {{"file", file},
                   {"id", StringField(entry, "id", where)},
                   {"name", StringField(entry, "name", where)},
                   {"url", entry.value("url", fmt::format("{}/{}/{}", baseUrl, kPrereqFolder, UrlPath(file)))},
                   {"sha256", FileSha256(installer)},
                   {"size", fs::file_size(installer)},
                   {"params", entry.value("params", "")},
                   {"params-repair", entry.value("params-repair", "")},
                   {"archs", entry.value("archs", json::array({"x64"}))}};
    out.push_back(std::move(prereq));
  }
  return out;
}

// What the setup will read must be exactly what was written.
void CheckWithSetupReader(const json& manifest) {
  UpdateManifest parsed;
  try {
    ParseManifest(parsed, manifest.dump());
  } catch (const std::exception& error) {
    throw std::runtime_error(fmt::format("the setup would refuse this manifest: {}", error.what()));
  }
  const json& files = manifest["files"];
  if (parsed.files.size() != files.size()) throw std::runtime_error("the setup reads a different number of files");
  for (size_t i = 0; i < files.size(); ++i) {
    const ManifestFile& file = parsed.files[i];
    if (Text::ToUtf8(file.path) != files[i]["path"] || Text::ToUtf8(file.url) != files[i]["url"] ||
        Text::ToUtf8(file.sha256) != files[i]["sha256"] || file.size != files[i]["size"].get<uint64_t>() ||
        std::to_string(file.version) != files[i]["version"].get<std::string>())
      throw std::runtime_error(fmt::format("the setup reads files[{}] differently", i));
  }
}

}  // namespace

std::string FileSha256(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error(fmt::format("Unable to read \"{}\"", file.string()));
  Sha256 hash;
  char buffer[1 << 16];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) hash.Update(buffer, static_cast<size_t>(in.gcount()));
  return hash.HexDigest();
}

std::string UrlPath(const std::string& relativePath) {
  std::string out;
  for (unsigned char c : relativePath) {
    if (c == '\\') {
      out += '/';
    } else if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += fmt::format("%{:02X}", c);
    }
  }
  return out;
}

json BuildManifest(const ManifestOptions& options) {
  if (!fs::is_directory(options.filesDir))
    throw std::runtime_error(fmt::format("\"{}\" is not a folder", options.filesDir.string()));
  if (!IsHttpUrl(options.baseUrl)) throw std::runtime_error("--base-url must start with http:// or https://");
  std::string base = options.baseUrl;
  while (base.ends_with('/')) base.pop_back();

  std::vector<fs::path> found;
  for (const auto& entry : fs::recursive_directory_iterator(options.filesDir))
    if (entry.is_regular_file()) found.push_back(entry.path());
  std::sort(found.begin(), found.end());

  json files = json::array();
  for (const auto& file : found) {
    std::string path = fs::relative(file, options.filesDir).generic_string();
    std::replace(path.begin(), path.end(), '/', '\\');
    files.push_back({{"path", path},
                     {"url", base + "/" + UrlPath(path)},
                     {"sha256", FileSha256(file)},
                     {"size", fs::file_size(file)},
                     {"version", std::to_string(ModificationTime(file))}});
  }
  json manifest = {{"version", 1}, {"app_version", options.appVersion}};
  manifest["prereqs"] = options.prereqsFile ? ReadPrereqs(*options.prereqsFile, base) : json::array();
  manifest["files"] = std::move(files);
  ValidateManifest(manifest);
  CheckWithSetupReader(manifest);
  return manifest;
}

void ValidateManifest(const json& manifest) {
  if (!manifest.is_object()) throw std::runtime_error("manifest: not an object");
  const auto version = manifest.find("version");
  if (version == manifest.end() || !version->is_number_integer())
    throw std::runtime_error("manifest: \"version\" must be an integer");
  if (manifest.contains("app_version") && !manifest["app_version"].is_string())
    throw std::runtime_error("manifest: \"app_version\" must be a string");
  std::set<std::string> paths;
  std::set<std::string> ids;
  for (const char* list : {"files", "prereqs"}) {
    if (manifest.contains(list) && !manifest[list].is_array() && !manifest[list].is_null())
      throw std::runtime_error(fmt::format("manifest: \"{}\" must be an array", list));
  }
  if (manifest.contains("files") && manifest["files"].is_array())
    for (size_t i = 0; i < manifest["files"].size(); ++i) ValidateFile(manifest["files"][i], i, paths);
  if (manifest.contains("prereqs") && manifest["prereqs"].is_array())
    for (size_t i = 0; i < manifest["prereqs"].size(); ++i) ValidatePrereq(manifest["prereqs"][i], i, ids);
}

}  // namespace Release

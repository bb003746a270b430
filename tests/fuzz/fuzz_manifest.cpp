// Any document either parses into a record whose names stay inside their
// folders and whose texts are well-formed, or fails with the JSON library's
// error or the path refusal. Any other exception is a finding.
#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

#include "app/text.h"
#include "manifest/update_manifest.h"
#include "staging/relative_path.h"

namespace {

void CheckText(const std::wstring& text) {
  if (Text::FromUtf8(Text::ToUtf8(text)) != text) std::abort();
}

void CheckName(const std::wstring& name, void (*rule)(std::wstring_view)) {
  CheckText(name);
  rule(name);  // throws (and so aborts below) for a name that got through
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view document(reinterpret_cast<const char*>(data), size);
  UpdateManifest manifest;
  try {
    ParseManifest(manifest, document);
  } catch (const nlohmann::json::exception&) {
    return 0;
  } catch (const std::runtime_error& error) {
    const std::string_view text(error.what());
    if (text.rfind("Refusing ", 0) != 0 && !text.ends_with("\" has a size that is not a number of bytes")) std::abort();
    return 0;
  }
  try {
    CheckText(manifest.appVersion);
    for (const Prerequisite& prerequisite : manifest.prerequisites) {
      CheckName(prerequisite.file, CheckFileName);
      for (const std::wstring* text : {&prerequisite.id, &prerequisite.name, &prerequisite.url, &prerequisite.sha256,
                                       &prerequisite.params, &prerequisite.paramsRepair}) {
        CheckText(*text);
      }
      for (const std::wstring& arch : prerequisite.archs) CheckText(arch);
    }
    for (const ManifestFile& file : manifest.files) {
      CheckName(file.path, CheckRelativePath);
      CheckText(file.url);
      CheckText(file.sha256);
    }
    for (const std::wstring& zip : manifest.zips) CheckText(zip);
  } catch (const std::exception&) {
    std::abort();
  }
  return 0;
}

#pragma once
// The identity of a loaded executable that a crash report carries, so that
// the report can be matched to the debug file kept when the release was
// built: the code id (PE time stamp and image size) and the debug id (the
// build id that the linker writes into the PE debug directory).
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace Reporting {

struct ModuleImage {
  std::string codeFile;  // full path of the executable
  uint64_t imageAddr = 0;
  uint32_t imageSize = 0;
  std::string codeId;     // TimeDateStamp as 8 upper-case hex digits, then SizeOfImage in hex
  std::string debugId;    // build id GUID "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" and "-<age in hex>"
  std::string debugFile;  // the name in the build id record, else the executable's name and ".debug"
};

// Reads the identity of an image as the loader mapped it (sections at their
// virtual addresses) from `size` bytes at `base`. Nothing when the headers
// are not those of a PE image; an image without a build id has an empty
// debug id.
std::optional<ModuleImage> ReadModuleImage(const uint8_t* base, size_t size, uint64_t imageAddr,
                                           const std::string& codeFile);

// One entry of the event's "debug_meta" images.
nlohmann::json ModuleImageJson(const ModuleImage& image);

// The running executable; nothing where it cannot be read.
std::optional<ModuleImage> MainModuleImage();

}  // namespace Reporting

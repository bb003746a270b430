#include "reporting/module_image.h"

#include <fmt/format.h>

#include <cstring>

namespace Reporting {
namespace {

constexpr uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr uint16_t kPe32Magic = 0x10B;
constexpr size_t kDebugDirectoryIndex = 6;
constexpr uint32_t kDebugTypeCodeView = 2;
constexpr uint32_t kCodeViewRsds = 0x53445352;  // "RSDS"
constexpr size_t kDebugEntrySize = 28;

// Little-endian reads that fail rather than run past the end.
class Bytes {
 public:
  Bytes(const uint8_t* base, size_t size) : base_(base), size_(size) {}
  bool Has(size_t offset, size_t length) const { return offset <= size_ && length <= size_ - offset; }
  template <typename T>
  std::optional<T> Read(size_t offset) const {
    if (!Has(offset, sizeof(T))) return std::nullopt;
    T value;
    std::memcpy(&value, base_ + offset, sizeof(T));
    return value;
  }
  const uint8_t* At(size_t offset) const { return base_ + offset; }

 private:
  const uint8_t* base_;
  size_t size_;
};

std::string FileName(const std::string& path) {
  const size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The build id from the CodeView record of the debug directory, if any.
void ReadBuildId(const Bytes& bytes, uint32_t directoryRva, uint32_t directorySize, ModuleImage& image) {
  for (uint32_t at = 0; at + kDebugEntrySize <= directorySize; at += kDebugEntrySize) {
    const size_t entry = size_t{directoryRva} + at;
    const auto type = bytes.Read<uint32_t>(entry + 12);
    const auto dataSize = bytes.Read<uint32_t>(entry + 16);
    const auto dataRva = bytes.Read<uint32_t>(entry + 20);
    if (!type || !dataSize || !dataRva) return;
    if (*type != kDebugTypeCodeView || *dataSize < 24 || !bytes.Has(*dataRva, *dataSize)) continue;
    if (bytes.Read<uint32_t>(*dataRva) != kCodeViewRsds) continue;
    const uint8_t* guid = bytes.At(*dataRva + 4);
    const uint32_t data1 = *bytes.Read<uint32_t>(*dataRva + 4);
    const uint16_t data2 = *bytes.Read<uint16_t>(*dataRva + 8);
    const uint16_t data3 = *bytes.Read<uint16_t>(*dataRva + 10);
    const uint32_t age = *bytes.Read<uint32_t>(*dataRva + 20);
    image.debugId =
        fmt::format("{:08x}-{:04x}-{:04x}-{:02x}{:02x}-{:02x}{:02x}{:02x}{:02x}{:02x}{:02x}-{:x}", data1, data2, data3,
                    guid[8], guid[9], guid[10], guid[11], guid[12], guid[13], guid[14], guid[15], age);
    const char* name = reinterpret_cast<const char*>(bytes.At(*dataRva + 24));
    const size_t nameLength = strnlen(name, *dataSize - 24);
    if (nameLength > 0) image.debugFile = std::string(name, nameLength);
    return;
  }
}

}  // namespace

std::optional<ModuleImage> ReadModuleImage(const uint8_t* base, size_t size, uint64_t imageAddr,
                                           const std::string& codeFile) {
  const Bytes bytes(base, size);
  if (bytes.Read<uint16_t>(0) != uint16_t{0x5A4D}) return std::nullopt;  // "MZ"
  const auto peOffset = bytes.Read<uint32_t>(0x3C);
  if (!peOffset || bytes.Read<uint32_t>(*peOffset) != kPeSignature) return std::nullopt;
  const size_t fileHeader = size_t{*peOffset} + 4;
  const auto timeStamp = bytes.Read<uint32_t>(fileHeader + 4);
  const size_t optionalHeader = fileHeader + 20;
  const uint16_t magic = bytes.Read<uint16_t>(optionalHeader).value_or(0);
  const auto imageSize = bytes.Read<uint32_t>(optionalHeader + 56);
  if (!timeStamp || !imageSize || (magic != kPe32PlusMagic && magic != kPe32Magic)) return std::nullopt;
  const size_t directories = optionalHeader + (magic == kPe32PlusMagic ? 112 : 96);

  ModuleImage image;
  image.codeFile = codeFile;
  image.imageAddr = imageAddr;
  image.imageSize = *imageSize;
  image.codeId = fmt::format("{:08X}{:x}", *timeStamp, *imageSize);
  image.debugFile = FileName(codeFile) + ".debug";
  const auto count = bytes.Read<uint32_t>(directories - 4);
  if (count && *count > kDebugDirectoryIndex) {
    const auto rva = bytes.Read<uint32_t>(directories + kDebugDirectoryIndex * 8);
    const auto length = bytes.Read<uint32_t>(directories + kDebugDirectoryIndex * 8 + 4);
    if (rva && length && *rva != 0) ReadBuildId(bytes, *rva, *length, image);
  }
  return image;
}

nlohmann::json ModuleImageJson(const ModuleImage& image) {
  nlohmann::json json = {{"type", "pe"},
                         {"code_file", image.codeFile},
                         {"image_addr", fmt::format("0x{:x}", image.imageAddr)},
                         {"image_size", image.imageSize},
                         {"code_id", image.codeId},
                         {"debug_file", image.debugFile}};
  if (!image.debugId.empty()) json["debug_id"] = image.debugId;
  return json;
}

}  // namespace Reporting

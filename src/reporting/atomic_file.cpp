#include "reporting/atomic_file.h"

#include <fstream>

namespace Reporting {
namespace fs = std::filesystem;

bool WriteFileAtomically(const fs::path& target, std::string_view bytes) {
  fs::path temp = target;
  temp += ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
      std::error_code ignored;
      fs::remove(temp, ignored);
      return false;
    }
  }
  std::error_code error;
  fs::rename(temp, target, error);
  if (!error) return true;
  fs::remove(temp, error);
  return false;
}

std::optional<std::string> ReadFileUpTo(const fs::path& file, uint64_t cap) {
  std::optional<std::string> bytes;
  {
    std::ifstream in(file, std::ios::binary | std::ios::ate);
    if (!in) return std::nullopt;
    const std::streamoff size = in.tellg();
    if (size < 0) return std::nullopt;
    if (static_cast<uint64_t>(size) <= cap) {
      std::string text(static_cast<size_t>(size), '\0');
      in.seekg(0);
      if (!in.read(text.data(), size)) return std::nullopt;
      return text;
    }
  }
  std::error_code ignored;
  fs::remove(file, ignored);
  return bytes;
}

}  // namespace Reporting

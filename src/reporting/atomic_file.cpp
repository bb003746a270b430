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

}  // namespace Reporting

#pragma once

#include <filesystem>
#include <string_view>

namespace Reporting {

// Writes `bytes` to `target` through a sibling "<target>.tmp" that is renamed
// over it, so that a reader (the next run) never sees half a file. False, and
// nothing left behind, when either step fails.
bool WriteFileAtomically(const std::filesystem::path& target, std::string_view bytes);

}  // namespace Reporting

#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace Reporting {

// Writes `bytes` to `target` through a new sibling of a name of its own
// ("<target>.<process id>-<n>.tmp", created only where nothing, not even a
// link, has that name) that is renamed over it, so that a reader (the next
// run) never sees half a file. False, and nothing left behind, when either
// step fails.
bool WriteFileAtomically(const std::filesystem::path& target, std::string_view bytes);

// The whole file, read through one open stream whose size is taken first: a
// file larger than `cap` is deleted unread (nothing this client writes is
// that large), and no more than that size is ever read, even if the file
// grows meanwhile. A link, a folder or a file with a second name (hard
// link) is never opened. nullopt when it cannot be read or was too large.
std::optional<std::string> ReadFileUpTo(const std::filesystem::path& file, uint64_t cap);

}  // namespace Reporting

#pragma once
// "manifest_prereqs.txt", left in the install folder by an earlier
// installation: one prerequisite id per line, as bytes, lines ending at LF.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// A real list names a handful of short ids; anything far larger is not one,
// and taking it would write a registry value per line.
inline constexpr size_t kMaxPrerequisiteListBytes = size_t{64} * 1024;
inline constexpr size_t kMaxPrerequisiteIdLength = 255;

// The non-empty lines in order (a CR before the LF stays part of the line; a
// last line without LF counts), each byte one character. Throws
// std::runtime_error for a text above the size limit or an over-long line.
std::vector<std::wstring> ReadPrerequisiteList(std::string_view bytes);

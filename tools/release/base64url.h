#pragma once
// URL-safe base64 without padding: the form of the sign key ("/api/signkey")
// and of both halves of an uninstall token.
#include <string>
#include <string_view>

namespace Release {

std::string EncodeBase64Url(std::string_view bytes);
// Accepts optional '=' padding; throws std::runtime_error on any other
// character outside the alphabet or a single left-over symbol.
std::string DecodeBase64Url(std::string_view text);

}  // namespace Release

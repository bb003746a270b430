#pragma once
// Base64 with the URL-safe alphabet (RFC 4648 section 5): letters, digits,
// "-" and "_"; "=" padding allowed but not required.
#include <string>
#include <string_view>

namespace Base64Url {

// Throws std::runtime_error for a symbol outside the alphabet, bad padding or
// a single left-over symbol.
std::string Decode(std::string_view text);

}  // namespace Base64Url

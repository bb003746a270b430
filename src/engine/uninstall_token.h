#pragma once
// Authorization of an uninstall: a short-lived token signed with the vendor's
// Ed25519 key ("/token="), or "/nologin" on a machine without configuration.
#include <cstdint>
#include <string>
#include <string_view>

// Returns when the uninstall is authorised; throws std::runtime_error ("Missing
// token", "Invalid token signature", "Invalid token type", "Token expired",
// "Config still exists") otherwise. `expectedType` may be null (any type).
void CheckUninstallAuthorization(const char* expectedType);

// The vendor's public signing key as published: a base64url text, as bytes.
// A text larger than the limit fails with "Sign key is larger than 1 KiB".
inline constexpr uint64_t kSignKeySizeLimit = 1024;
std::string FetchSignKey();

namespace UninstallToken {

// Field n of a payload: after n ":" separators, up to the next ":", the end
// or a zero byte; empty when absent.
std::string_view Field(std::string_view payload, int index);
// Decimal seconds with leading blanks and a sign; stops at the first
// non-digit; no digits give 0; out-of-range values saturate.
int64_t ParseIssueTime(std::string_view field);
// The token check itself, at time `now` (seconds since 1970): the token's
// signature by the key (both base64url), its type and its age. Throws as
// CheckUninstallAuthorization does, or the decoder's error.
void CheckToken(std::string_view token, std::string_view keyText, const char* expectedType, int64_t now);

}  // namespace UninstallToken

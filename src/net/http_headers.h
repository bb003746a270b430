#pragma once
// The pure pieces of a response: the raw header text split into named values,
// and the body size that "Content-Length" announces.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Platform {

using HttpHeaders = std::vector<std::pair<std::wstring, std::wstring>>;

// Replaces `headers` with the lines of `raw`. The line break is whichever of
// CR LF, CR, LF CR or LF comes first; empty lines are skipped; a line splits at
// its first colon (no colon: empty name); names match case-sensitively and a
// repeated name replaces the earlier value.
void ParseHeaders(std::wstring_view raw, HttpHeaders& headers);

// The size under exactly "Content-Length", or 0 when absent, empty or not made
// of digits and blanks. Values above 4294967295 throw std::out_of_range.
uint64_t ContentLength(const HttpHeaders& headers);

// Throws "Downloaded file is smaller/larger than expected" when a size was
// announced and the count differs (compared as 32-bit values).
void CheckDownloadedSize(uint64_t expected, uint64_t received);

}  // namespace Platform

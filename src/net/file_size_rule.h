#pragma once
// How large a download to disk may be. Without a signed size: at most
// kFileBodyLimit. With a size that the manifest's signed statement vouches
// for: exactly that size. A transfer that breaks the rule stops before its
// body is written (by its "Content-Length") or while it is written.
#include <cstdint>
#include <optional>
#include <string_view>

#include "net/http.h"

namespace Platform {

struct FileSizeRule {
  uint64_t limit = kFileBodyLimit;
  bool exact = false;

  static FileSizeRule For(std::optional<uint64_t> signedSize);
  // Each throws std::runtime_error naming the URL when the rule is broken:
  // "Download is larger than {limit}: {url}" or "Download does not match its
  // signed size of {size} bytes: {url}".
  // `announced` is 0 when no size was announced.
  void CheckAnnounced(uint64_t announced, std::string_view url) const;
  void CheckReceived(uint64_t received, std::string_view url) const;
  void CheckComplete(uint64_t received, std::string_view url) const;
};

// "3 GiB", "16 MiB", "1 KiB" or "{n} bytes".
std::string SizeText(uint64_t bytes);

}  // namespace Platform

#include "net/file_size_rule.h"

#include <fmt/format.h>

#include <stdexcept>
#include <string>

namespace Platform {
namespace {

[[noreturn]] void Refuse(const FileSizeRule& rule, std::string_view url) {
  if (rule.exact) {
    throw std::runtime_error(fmt::format("Download does not match its signed size of {} bytes: {}", rule.limit, url));
  }
  throw std::runtime_error(fmt::format("Download is larger than {}: {}", SizeText(rule.limit), url));
}

}  // namespace

std::string SizeText(uint64_t bytes) {
  if (bytes != 0 && bytes % (uint64_t{1} << 30) == 0) return fmt::format("{} GiB", bytes >> 30);
  if (bytes != 0 && bytes % (1 << 20) == 0) return fmt::format("{} MiB", bytes >> 20);
  if (bytes != 0 && bytes % 1024 == 0) return fmt::format("{} KiB", bytes >> 10);
  return fmt::format("{} bytes", bytes);
}

FileSizeRule FileSizeRule::For(std::optional<uint64_t> signedSize) {
  if (!signedSize) return {};
  return {*signedSize, true};
}

void FileSizeRule::CheckAnnounced(uint64_t announced, std::string_view url) const {
  if (exact ? announced != 0 && announced != limit : announced > limit) Refuse(*this, url);
}

void FileSizeRule::CheckReceived(uint64_t received, std::string_view url) const {
  if (received > limit) Refuse(*this, url);
}

void FileSizeRule::CheckComplete(uint64_t received, std::string_view url) const {
  if (exact && received != limit) Refuse(*this, url);
}

}  // namespace Platform

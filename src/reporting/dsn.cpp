#include "reporting/dsn.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>

#include "reporting/protocol.h"

namespace Reporting {
namespace {

bool IsAll(std::string_view text, bool (*accept)(unsigned char)) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [&](char c) { return accept(static_cast<unsigned char>(c)); });
}

bool IsKeyChar(unsigned char c) { return std::isalnum(c) != 0; }
bool IsDigit(unsigned char c) { return std::isdigit(c) != 0; }
bool IsHostChar(unsigned char c) { return std::isalnum(c) != 0 || c == '.' || c == '-' || c == ':'; }

}  // namespace

std::string Dsn::EnvelopeUrl() const { return fmt::format("{}://{}/api/{}/envelope/", scheme, host, projectId); }

std::string Dsn::AuthHeader() const {
  return fmt::format("X-Sentry-Auth: Sentry sentry_version=7, sentry_client={}, sentry_key={}", kClientName, publicKey);
}

bool ParseDsn(std::string_view text, Dsn& dsn) {
  Dsn parsed;
  parsed.raw = std::string(text);
  const size_t schemeEnd = text.find("://");
  if (schemeEnd == std::string_view::npos) return false;
  parsed.scheme = std::string(text.substr(0, schemeEnd));
  if (parsed.scheme != "https" && parsed.scheme != "http") return false;
  std::string_view rest = text.substr(schemeEnd + 3);
  const size_t at = rest.find('@');
  const size_t slash = rest.find('/');
  if (at == std::string_view::npos || slash == std::string_view::npos || at > slash) return false;
  const std::string_view key = rest.substr(0, at);
  const std::string_view host = rest.substr(at + 1, slash - at - 1);
  std::string_view project = rest.substr(slash + 1);
  if (project.ends_with('/')) project.remove_suffix(1);
  // Keys with a secret part ("key:secret") belong to an older protocol.
  if (!IsAll(key, IsKeyChar) || !IsAll(host, IsHostChar) || !IsAll(project, IsDigit)) return false;
  if (host.front() == ':' || host.back() == ':') return false;
  parsed.publicKey = std::string(key);
  parsed.host = std::string(host);
  parsed.projectId = std::string(project);
  dsn = std::move(parsed);
  return true;
}

}  // namespace Reporting

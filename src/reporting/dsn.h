#pragma once
// The reporting address: "<scheme>://<public key>@<host[:port]>/<project id>".
#include <string>
#include <string_view>

namespace Reporting {

struct Dsn {
  std::string raw;
  std::string scheme;  // "https" or "http"
  std::string publicKey;
  std::string host;  // with ":port" when one was given
  std::string projectId;

  std::string EnvelopeUrl() const;
  std::string AuthHeader() const;  // the whole header line without CR LF
};

// False (and `dsn` untouched) for anything that is not a usable address.
bool ParseDsn(std::string_view text, Dsn& dsn);

}  // namespace Reporting

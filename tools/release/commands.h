#pragma once
// The sub-commands of valdrix-release. Returns the process exit code:
// 0 success, 1 failure of the work, 2 bad command line.
#include <ostream>
#include <string>
#include <vector>

namespace Release {

int RunCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// "type:subject:issued-at", signed; printed by "token".
std::string MakeToken(const std::string& privateKeyText, const std::string& type, const std::string& subject,
                      long long issuedAt);

}  // namespace Release

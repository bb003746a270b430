#pragma once
// Authenticode signatures of the setup executable, made and checked with
// osslsigncode (VALDRIX_OSSLSIGNCODE names another program of that kind).
#include <optional>
#include <string>
#include <vector>

namespace Release {

struct SignOptions {
  std::string in;
  std::string cert;          // PEM, the code-signing certificate
  std::string key;           // PEM, its private key
  std::string chain;         // PEM, intermediate certificates to embed; may be empty
  std::string timestampUrl;  // RFC 3161 time-stamping service; may be empty
  std::string out;
};

struct ProgramResult {
  int exitCode = -1;
  std::string output;  // standard output and error together
};

// Runs `argv` (searched in PATH) and collects what it prints.
ProgramResult RunProgram(const std::vector<std::string>& argv);

// The message digests that osslsigncode's "verify" reports for the first
// signature: the one stored in the signature and the one of the file's bytes.
struct SignatureDigests {
  std::string algorithm;
  std::string stored;
  std::string calculated;
};
std::optional<SignatureDigests> ParseSignatureDigests(const std::string& verifyOutput);

// Signs with a SHA-256 digest into options.out (written only when the
// signature checks out) and returns osslsigncode's report of the result.
// Throws std::runtime_error with osslsigncode's output when it fails.
std::string SignExecutable(const SignOptions& options);
// True when the signature is intact and chains to `caFile`; `report` gets
// osslsigncode's output either way.
bool VerifySignature(const std::string& file, const std::string& caFile, std::string& report);

}  // namespace Release

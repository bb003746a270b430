#pragma once
// Helpers of the download tests: the text of an expected failure, and the
// digest of some bytes.
#include <functional>
#include <string>

#include "staging/sha256.h"

// The what() of the Exception the action throws, or "(no exception)".
template <typename Exception>
std::string FailureText(const std::function<void()>& action) {
  try {
    action();
  } catch (const Exception& error) {
    return error.what();
  }
  return "(no exception)";
}

inline std::string Sha256Of(const std::string& bytes) {
  Sha256 digest;
  digest.Update(bytes.data(), bytes.size());
  return digest.HexDigest();
}

// Any statement either parses, and then its signed bytes are exactly the
// text's first four lines and every further line is one signature, or fails
// as malformed. Any other outcome is a finding.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string_view>

#include "manifest/manifest_statement.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  ManifestStatement::Statement statement;
  try {
    statement = ManifestStatement::Parse(text);
  } catch (const std::runtime_error& error) {
    if (std::string_view(error.what()).rfind("Manifest statement is malformed: ", 0) != 0) std::abort();
    return 0;
  }
  const auto lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
  if (!text.starts_with(statement.signedPart) || statement.signatures.empty() ||
      statement.signatures.size() != lines - 4)
    std::abort();
  return 0;
}

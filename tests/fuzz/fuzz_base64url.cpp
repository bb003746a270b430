// Decoding any text either fails with the decoder's own error or gives at
// most three bytes per four symbols, and what it gives re-encodes to a text of
// the same length that decodes to the same bytes. Any bytes encode and decode
// back unchanged, with or without padding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

#include "engine/base64url.h"
#include "unit/token_signer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  for (const bool pad : {false, true}) {
    if (Base64Url::Decode(TestTokens::Base64Url(input, pad)) != input) std::abort();
  }

  std::string decoded;
  try {
    decoded = Base64Url::Decode(input);
  } catch (const std::runtime_error& error) {
    const std::string_view text = error.what();
    if (text != "Invalid base64url symbol" && text != "Invalid base64url padding" &&
        text != "Invalid base64url text: a single left-over symbol") {
      std::abort();
    }
    return 0;
  }
  if (decoded.size() > input.size() * 3 / 4) std::abort();
  const size_t symbols = input.find_last_not_of('=') + 1;  // npos + 1 == 0 for all padding
  const std::string again = TestTokens::Base64Url(decoded);
  if (again.size() != symbols || Base64Url::Decode(again) != decoded) std::abort();
  return 0;
}

// Any sequence of arguments (split at NUL bytes, read as UTF-8) folds into a
// record whose invariants hold: the first mode and first values win.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "app/flags.h"
#include "app/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  SetupFlags flags;
  SetupMode firstMode = SetupMode::Install;
  size_t start = 0;
  while (start <= input.size()) {
    size_t end = input.find('\0', start);
    if (end == std::string_view::npos) end = input.size();
    const std::wstring argument = Text::FromUtf8(input.substr(start, end - start));
    const std::wstring tokenBefore = flags.token;
    ParseFlag(flags, argument);
    if (firstMode == SetupMode::Install) firstMode = flags.mode;
    if (flags.mode != firstMode) std::abort();
    if (!tokenBefore.empty() && flags.token != tokenBefore) std::abort();
    start = end + 1;
  }
  if (static_cast<uint32_t>(flags.mode) > 3) std::abort();
  return 0;
}

// UTF-8 decoding of any bytes is total, and re-encoding what it produced
// gives back the same wide text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "app/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::wstring wide = Text::FromUtf8(input);
  const std::string utf8 = Text::ToUtf8(wide);
  if (Text::FromUtf8(utf8) != wide) std::abort();
  if (wide.size() > input.size()) std::abort();
  return 0;
}

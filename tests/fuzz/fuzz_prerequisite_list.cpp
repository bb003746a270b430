// Any bytes either are refused as a whole or give non-empty ids of bounded
// length that, put back together, are exactly the text without its line ends.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "app/text.h"
#include "staging/prerequisite_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::vector<std::wstring> ids;
  try {
    ids = ReadPrerequisiteList(bytes);
  } catch (const std::runtime_error&) {
    if (bytes.size() <= kMaxPrerequisiteListBytes) {
      // Refused within the size limit: some line must be too long.
      size_t longest = 0, run = 0;
      for (const char c : bytes) run = c == '\n' ? 0 : run + 1, longest = std::max(longest, run);
      if (longest <= kMaxPrerequisiteIdLength) std::abort();
    }
    return 0;
  }
  std::string joined;
  for (const std::wstring& id : ids) {
    if (id.empty() || id.size() > kMaxPrerequisiteIdLength || id.find(L'\n') != std::wstring::npos) std::abort();
    joined += Text::ToBytes(id);
  }
  std::string expected(bytes);
  std::erase(expected, '\n');
  if (joined != expected) std::abort();
  return 0;
}

#include "staging/prerequisite_list.h"

#include <fmt/format.h>

#include <algorithm>
#include <stdexcept>

#include "app/text.h"

std::vector<std::wstring> ReadPrerequisiteList(std::string_view bytes) {
  if (bytes.size() > kMaxPrerequisiteListBytes) {
    throw std::runtime_error(fmt::format("larger than {} bytes", kMaxPrerequisiteListBytes));
  }
  std::vector<std::wstring> ids;
  size_t start = 0;
  for (size_t number = 1; start < bytes.size(); ++number) {
    const size_t end = std::min(bytes.find('\n', start), bytes.size());
    const std::string_view line = bytes.substr(start, end - start);
    if (line.size() > kMaxPrerequisiteIdLength) {
      throw std::runtime_error(fmt::format("line {} is longer than {} characters", number, kMaxPrerequisiteIdLength));
    }
    if (!line.empty()) ids.push_back(Text::FromBytes(line));
    start = end + 1;
  }
  return ids;
}

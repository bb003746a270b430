#include "system/files.h"

// Each argument becomes a double quote, its text, a double quote and a blank.
// A double quote inside is preceded by a backslash. A run of backslashes that
// stands before a double quote (one inside, or the closing one) is doubled as
// well, so that the child's command-line parser gives back the argument as it
// was: "C:\dir\" would otherwise escape its own closing quote.
std::wstring QuoteArguments(const std::vector<std::wstring>& arguments) {
  std::wstring result;
  for (const std::wstring& argument : arguments) {
    result += L'"';
    size_t backslashes = 0;
    for (const wchar_t c : argument) {
      if (c == L'\\') {
        ++backslashes;
        continue;
      }
      if (c == L'"') backslashes = backslashes * 2 + 1;
      result.append(backslashes, L'\\');
      backslashes = 0;
      result += c;
    }
    result.append(backslashes * 2, L'\\');
    result += L"\" ";
  }
  return result;
}

std::wstring CommandLine(std::wstring_view executablePath, std::wstring_view arguments) {
  std::wstring line = L"\"" + std::wstring(executablePath) + L"\"";
  if (!arguments.empty()) line.append(L" ").append(arguments);
  return line;
}

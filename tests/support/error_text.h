#pragma once
// What an action threw, for tests that check exact failure messages.
#include <stdexcept>
#include <string>
#include <system_error>

struct ThrownError {
  bool thrown = false;
  bool system = false;  // a std::system_error, with `code`
  int code = 0;
  std::string text;

  bool StartsWith(const std::string& prefix) const { return text.rfind(prefix, 0) == 0; }
};

template <typename Action>
ThrownError CatchError(Action action) {
  try {
    action();
  } catch (const std::system_error& error) {
    return {true, true, error.code().value(), error.what()};
  } catch (const std::exception& error) {
    return {true, false, 0, error.what()};
  }
  return {};
}

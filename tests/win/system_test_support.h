#pragma once
// Helpers shared by the tests of the real Windows layer.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>

#include "system/files.h"

// The fixture programs are built next to the test executable.
inline std::wstring FixturePath(const wchar_t* name) { return GetExecutableDirectory() + name; }

// Runs `action` and checks that it throws std::system_error with `code` and a
// text that begins with `message`.
inline void ExpectSystemError(const std::function<void()>& action, int code, const std::string& message) {
  try {
    action();
    ADD_FAILURE() << "no exception, expected \"" << message << "\"";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().value(), code) << error.what();
    EXPECT_EQ(std::string(error.what()).rfind(message, 0), 0u) << error.what();
  }
}

// Same for std::runtime_error that is not a system error, with the exact text.
inline void ExpectRuntimeError(const std::function<void()>& action, const std::string& message) {
  try {
    action();
    ADD_FAILURE() << "no exception, expected \"" << message << "\"";
  } catch (const std::system_error& error) {
    ADD_FAILURE() << "system error instead: " << error.what();
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()), message);
  }
}

// COM for the calling test, multithreaded like the setup's engine thread.
class ComScope {
 public:
  ComScope() : initialized_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {}
  ~ComScope() {
    if (initialized_) CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;

 private:
  bool initialized_;
};

// The XML document of a registered task of the root folder, as the Task
// Scheduler hands it out; none when the task is missing.
std::optional<std::wstring> RegisteredTaskXml(const wchar_t* name);
// Text of the first <name> element of an XML document; empty when missing.
std::wstring XmlElement(const std::wstring& xml, const std::wstring& name);

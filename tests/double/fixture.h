#pragma once
// Base of the tests that run against the double: every area reset, the
// command line cleared, and the setup log written into a scratch folder.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/flags.h"
#include "app/log.h"
#include "double/double.h"
#include "support/temp_folder.h"

class DoubleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Double::Reset();
    SetupFlags::Instance() = SetupFlags{};
    SetupLog::OpenPath(logFolder_.Path(L"Valdrix.Setup.log"));
  }

  void TearDown() override { SetupLog::Close(); }

  // Log lines as "LEVEL|message", e.g. "INFO|Stopping client..".
  std::vector<std::string> LogLines() const {
    std::ifstream file(logFolder_.Root() / "Valdrix.Setup.log", std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(file, line)) {
      // "[%7s] [date time] message"
      const size_t levelEnd = line.find(']');
      const size_t stampEnd = levelEnd == std::string::npos ? levelEnd : line.find("] ", levelEnd + 1);
      if (stampEnd == std::string::npos) continue;
      std::string level = line.substr(1, levelEnd - 1);
      level.erase(0, level.find_first_not_of(' '));
      lines.push_back(level + "|" + line.substr(stampEnd + 2));
    }
    return lines;
  }

  bool HasLogLine(const std::string& expected) const {
    for (const auto& line : LogLines()) {
      if (line == expected) return true;
    }
    return false;
  }

 private:
  TempFolder logFolder_;
};

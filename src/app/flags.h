#pragma once
// The parsed command line: one process-wide record, filled by start-up before
// the run begins.
#include <cstdint>
#include <string>
#include <string_view>

enum class SetupMode : uint32_t {
  Install = 0,
  Update = 1,
  Verify = 2,
  Uninstall = 3,
};

const char* ModeName(SetupMode mode);

struct SetupFlags {
  std::wstring setupDirectory;  // folder of the running executable, ends in '\'
  std::wstring setupFileName;
  std::wstring loginCode;
  std::wstring token;
  bool help = false;
  bool silent = false;
  bool dontStart = false;
  bool noLogin = false;
  bool legacyUninstall = false;
  SetupMode mode = SetupMode::Install;

  static SetupFlags& Instance();
};

// Folds one command-line argument into the record. Never fails; unknown
// arguments are ignored.
void ParseFlag(SetupFlags& flags, std::wstring_view argument);

#include "app/flags.h"

const char* ModeName(SetupMode mode) {
  switch (mode) {
    case SetupMode::Install: return "install";
    case SetupMode::Update: return "update";
    case SetupMode::Verify: return "verify";
    case SetupMode::Uninstall: return "uninstall";
  }
  return "??";
}

SetupFlags& SetupFlags::Instance() {
  static SetupFlags flags;
  return flags;
}

namespace {

bool TakePrefix(std::wstring_view argument, std::wstring_view prefix, std::wstring& target) {
  if (!argument.starts_with(prefix)) return false;
  target.assign(argument.substr(prefix.size()));
  return true;
}

}  // namespace

void ParseFlag(SetupFlags& flags, std::wstring_view argument) {
  // The order of the tests is part of the contract: the first mode wins and
  // the first non-empty value wins.
  if (!flags.help && (argument == L"/?" || argument == L"/help")) {
    flags.help = true;
    return;
  }
  if (!flags.silent && (argument == L"/s" || argument == L"/silent")) {
    flags.silent = true;
    return;
  }
  if (!flags.dontStart && (argument == L"/ds" || argument == L"/dontstart")) {
    flags.dontStart = true;
    return;
  }
  if (!flags.noLogin && argument == L"/nologin") {
    flags.noLogin = true;
    return;
  }
  if (!flags.legacyUninstall && argument == L"/legacyuninstall") {
    flags.legacyUninstall = true;
    return;
  }
  if (flags.loginCode.empty() && TakePrefix(argument, L"/logincode=", flags.loginCode)) return;
  if (flags.token.empty() && TakePrefix(argument, L"/token=", flags.token)) return;
  if (flags.mode == SetupMode::Install && (argument == L"/up" || argument == L"/update")) {
    flags.mode = SetupMode::Update;
    return;
  }
  if (flags.mode == SetupMode::Install && (argument == L"/v" || argument == L"/verify")) {
    flags.mode = SetupMode::Verify;
    return;
  }
  if (flags.mode == SetupMode::Install && (argument == L"/un" || argument == L"/uninstall")) {
    flags.mode = SetupMode::Uninstall;
  }
}

#!/usr/bin/env bash
# Installs what building and testing the setup needs on a Debian machine.
# Idempotent: packages already present are not touched, so repeated runs cost
# one dpkg query.
set -euo pipefail

PACKAGES=(
  cmake ninja-build g++ pkg-config ccache
  g++-mingw-w64-x86-64-posix
  nlohmann-json3-dev libfmt-dev googletest
  libgcrypt20-dev libgcrypt-mingw-w64-dev libgpg-error-mingw-w64-dev
  libssl-dev libcpp-httplib-dev openssl curl python3 python3-sentry-sdk
  wine64 xvfb xdotool imagemagick osslsigncode
  clang libclang-rt-14-dev clang-tidy cppcheck clang-format
)

missing=()
for package in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "Installing: ${missing[*]}"
SUDO=""
if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

#!/usr/bin/env bash
# Installs what building and testing the setup needs on a Debian machine.
# Idempotent: packages already present are not touched, so repeated runs cost
# one dpkg query.
#   scripts/install-deps.sh [--demo]   --demo: only what `make demo` needs
set -euo pipefail

# What `make demo` needs: both builds, the local server, Wine.
PACKAGES=(
  cmake ninja-build g++ pkg-config ccache
  g++-mingw-w64-x86-64-posix
  nlohmann-json3-dev libfmt-dev googletest
  libgcrypt20-dev libgcrypt-mingw-w64-dev libgpg-error-mingw-w64-dev
  libssl-dev libcpp-httplib-dev openssl python3
  wine64 osslsigncode
)
# What the tests need on top: a virtual display and its tools, fuzzing,
# static analysis and formatting.
if [[ ${1:-} != --demo ]]; then
  PACKAGES+=(python3-sentry-sdk curl xvfb xdotool imagemagick clang libclang-rt-14-dev clang-tidy cppcheck clang-format)
fi

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
if [[ $(id -u) -ne 0 ]]; then
  SUDO="sudo"
  if ! command -v sudo >/dev/null; then
    echo "install-deps.sh: missing packages, and no sudo to install them; as root: apt-get install ${missing[*]}" >&2
    exit 1
  fi
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

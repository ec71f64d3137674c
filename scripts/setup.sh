#!/usr/bin/env bash
# Installs everything the build and every test need on a fresh Debian 12 machine.
# Quick on reruns: nothing is fetched when all packages are already installed.
set -euo pipefail

packages=(
  # native build and tests
  g++ clang libclang-rt-14-dev cmake ninja-build libgtest-dev libgmock-dev googletest clang-format
  # end-to-end tests: a real client, a real browser, process tools
  curl chromium procps
  # the Win32 build and its tests under wine, with a virtual display
  g++-mingw-w64-x86-64-posix wine wine64 fonts-wine xvfb xdotool imagemagick
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg -s "$package" >/dev/null 2>&1; then
    missing+=("$package")
  fi
done

if [[ ${#missing[@]} -eq 0 ]]; then
  echo "setup: all ${#packages[@]} packages are installed"
  exit 0
fi

sudo=()
if [[ $(id -u) -ne 0 ]]; then
  sudo=(sudo)
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update
"${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"

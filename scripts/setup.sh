#!/usr/bin/env bash
# Installs what a task needs on a fresh Debian 12 machine:
#   scripts/setup.sh run    building and running kovweb: the compiler, CMake and Ninja
#   scripts/setup.sh test   (the default) everything the build and every test need
# Quick on reruns: nothing is fetched when all packages are already installed.
set -euo pipefail

task=${1:-test}

# Building kovweb needs no more: its target links only the C++ and thread libraries.
run_packages=(g++ cmake ninja-build)
test_packages=(
  "${run_packages[@]}"
  # native tests, sanitizers, fuzzing and the format check
  clang libclang-rt-14-dev libgtest-dev libgmock-dev googletest clang-format
  # end-to-end tests: a real client, a real browser, process tools
  curl chromium procps wget rclone
  # strict zip readers that check the archives a folder goes out as
  p7zip-full libarchive-tools unzip
  # the Win32 build and its tests under wine, with a virtual display
  g++-mingw-w64-x86-64-posix wine wine64 fonts-wine xvfb xdotool imagemagick
)

case "$task" in
  run) packages=("${run_packages[@]}") ;;
  test) packages=("${test_packages[@]}") ;;
  *)
    echo "usage: scripts/setup.sh [run|test]" >&2
    exit 2
    ;;
esac

missing=()
for package in "${packages[@]}"; do
  if ! dpkg -s "$package" >/dev/null 2>&1; then
    missing+=("$package")
  fi
done

if [[ ${#missing[@]} -eq 0 ]]; then
  echo "setup: all ${#packages[@]} packages for '$task' are installed"
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

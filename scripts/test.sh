#!/usr/bin/env bash
# Every check the project has: formatting, the native build and its tests, the same tests
# under AddressSanitizer+UndefinedBehaviorSanitizer and under ThreadSanitizer, a bounded
# run of the fuzz targets, and the Win32 build. Stops at the first failure.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

# Build folders: build, build-asan and build-tsan, or KOV_BUILD_PREFIX with those suffixes.
prefix=${KOV_BUILD_PREFIX:-build}

step() { printf '\n=== %s\n' "$*"; }

# Configures, builds and runs ctest in dir; extra arguments go to the configure step.
build_and_test() {
  local dir=$1
  shift
  # Tests on, also in a build folder that scripts/run.sh configured without them.
  cmake -S . -B "$dir" -G Ninja -DKOV_BUILD_TESTS=ON "$@"
  cmake --build "$dir" -j2
  (cd "$dir" && ctest --output-on-failure -j2)
}

step "setup"
bash scripts/setup.sh test

step "format"
bash scripts/check-format.sh

step "native build and tests"
build_and_test "$prefix"

step "address and undefined-behaviour sanitizers (clang)"
build_and_test "$prefix-asan" -DCMAKE_CXX_COMPILER=clang++ -DKOV_SANITIZE=address,undefined

step "thread sanitizer"
build_and_test "$prefix-tsan" -DKOV_SANITIZE=thread

step "fuzz targets (clang, libFuzzer with address and undefined-behaviour sanitizers)"
KOV_FUZZ_BUILD="$prefix-fuzz" bash scripts/fuzz.sh "${KOV_FUZZ_SECONDS:-60}"

step "Win32 build and tests"
# Cross-builds kovweb.exe with MinGW-w64 and runs the same tests, and the window's, under Wine.
bash scripts/test-win32.sh

printf '\nAll checks passed: format, native, asan+ubsan, tsan, fuzz, win32\n'

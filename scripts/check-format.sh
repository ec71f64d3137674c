#!/usr/bin/env bash
# Fails when a tracked C++ file differs from what clang-format makes of it.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files '*.cpp' '*.h')
else
  mapfile -t files < <(find . -path ./build\* -prune -o \( -name '*.cpp' -o -name '*.h' \) -print)
fi
if [[ ${#files[@]} -eq 0 ]]; then
  echo "check-format: no C++ files"
  exit 0
fi
clang-format --dry-run -Werror "${files[@]}"
echo "check-format: ${#files[@]} files formatted"

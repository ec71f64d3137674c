#!/usr/bin/env bash
# Installs what building kovweb needs, builds kovweb and only kovweb, then serves the sample
# site on http://localhost:8080/ until Ctrl+C.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/setup.sh run
# Without GoogleTest (scripts/setup.sh test installs it) the tests are left out of the build.
tests=OFF
if dpkg -s libgtest-dev libgmock-dev >/dev/null 2>&1; then tests=ON; fi
cmake -S . -B build -G Ninja -DKOV_BUILD_TESTS=$tests
cmake --build build -j2 --target kovweb
exec build/kovweb --port 8080 site

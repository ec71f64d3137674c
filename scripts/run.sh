#!/usr/bin/env bash
# Builds kovweb, and only kovweb, then serves the sample site on http://localhost:8080/
# until Ctrl+C.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/setup.sh
cmake -S . -B build -G Ninja
cmake --build build -j2 --target kovweb
exec build/kovweb --port 8080 site

#!/usr/bin/env bash
# Builds the library and runs the demo host program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target demo >/dev/null
exec ./build/examples/demo "$@"

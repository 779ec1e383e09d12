#!/usr/bin/env bash
# Builds the project and runs every test: first a plain build, then the same tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, then each fuzz target for a short, bounded
# time (FUZZ_SECONDS each, default 20). `--quick` runs the plain pass only.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELUNOR_TESTS=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  (cd "$dir" && ctest --output-on-failure --timeout 1800)
}

run_suite build
if [ "${1:-}" != "--quick" ]; then
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  run_suite build-asan -DVELUNOR_SANITIZE=ON
  FUZZ_SECONDS="${FUZZ_SECONDS:-20}" bash scripts/fuzz.sh
fi

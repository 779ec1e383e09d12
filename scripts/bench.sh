#!/usr/bin/env bash
# Builds the benchmarks in build-bench (optimised, no tests) and runs them; extra arguments go
# to the benchmark binary (e.g. --benchmark_repetitions=5).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVELUNOR_BENCH=ON -DVELUNOR_TESTS=OFF >/dev/null
cmake --build build-bench -j2 --target crypto_bench
./build-bench/bench/crypto_bench "$@"

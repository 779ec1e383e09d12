#!/usr/bin/env bash
# Builds the benchmarks in build-bench (optimised) and runs them; extra arguments go to each
# benchmark binary (e.g. --benchmark_repetitions=5). BENCH=crypto or BENCH=transfer runs one.
# The transfer benchmark starts sshd and logs in as the test account: it needs root, and the
# test fixtures, so the tests are configured too (only the benchmark targets are built).
set -euo pipefail
cd "$(dirname "$0")/.."
which="${BENCH:-all}"
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVELUNOR_BENCH=ON -DVELUNOR_TESTS=ON >/dev/null
targets=()
[[ "$which" == all || "$which" == crypto ]] && targets+=(crypto_bench)
[[ "$which" == all || "$which" == transfer ]] && targets+=(transfer_bench)
if [[ ${#targets[@]} -eq 0 ]]; then
  echo "BENCH must be crypto, transfer or unset" >&2
  exit 2
fi
cmake --build build-bench -j2 --target "${targets[@]}"
for t in "${targets[@]}"; do
  ./build-bench/bench/"$t" "$@"
done

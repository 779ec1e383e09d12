#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (fuzzer, ASan, UBSan) over the Component sources and
# runs each for a bounded time. Exits non-zero when a target finds a crash, a leak, a hang or
# undefined behaviour, or fails to build; prints one summary line per target.
#   FUZZ_SECONDS  time per target (default 30)
#   FUZZ_JOBS     parallel compiles (default 2)
#   FUZZ_DIR      build directory (default build-fuzz)
set -uo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
seconds="${FUZZ_SECONDS:-30}"
jobs="${FUZZ_JOBS:-2}"
out="${FUZZ_DIR:-build-fuzz}"
cxx="${CXX_FUZZ:-$(command -v clang++-14 || command -v clang++ || true)}"
if [ -z "$cxx" ]; then
  echo "fuzz: clang++ not found (scripts/install-deps.sh installs clang-14)" >&2
  exit 2
fi

flags=(-std=c++20 -g -O1 -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=undefined
       -IComponent -Iinclude -Itests -DVELUNOR_SOURCE_DIR="\"$root\"")
mkdir -p "$out/obj" "$out/artifacts"

# Component objects, rebuilt when the source or any header under Component/ is newer.
newest_header="$(find Component include -name '*.h' -newer "$out/.stamp" 2>/dev/null | head -1)"
[ -f "$out/.stamp" ] || newest_header=all
export cxx out newest_header
printf '%s\0' "${flags[@]}" > "$out/flags"
compile() {
  local src="$1" obj="$out/obj/$(echo "$1" | tr '/' '_').o"
  if [ -n "$newest_header" ] || [ ! -f "$obj" ] || [ "$src" -nt "$obj" ]; then
    mapfile -d '' f < "$out/flags"
    "$cxx" "${f[@]}" -fsanitize=fuzzer-no-link -c "$src" -o "$obj" || { echo "fuzz: compile failed: $src" >&2; return 1; }
  fi
}
export -f compile
if ! find Component -name '*.cpp' -print0 | xargs -0 -n1 -P"$jobs" bash -c 'compile "$0"'; then
  echo "fuzz: build FAILED"
  exit 1
fi
touch "$out/.stamp"

status=0
for target in packet_layer session_handlers; do
  bin="$out/${target}_fuzz"
  if ! "$cxx" "${flags[@]}" -fsanitize=fuzzer "tests/fuzz/${target}_fuzz.cpp" "$out"/obj/*.o -lcrypto -lz -o "$bin"; then
    echo "fuzz $target: build FAILED"
    status=1
    continue
  fi
  work="$out/corpus/$target"
  mkdir -p "$work"
  log="$out/$target.log"
  # New inputs go to the work directory; the committed corpus is read only.
  "$bin" "$work" "tests/fuzz/corpus/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$out/artifacts/$target-" > "$log" 2>&1
  rc=$?
  runs="$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1)"
  if [ "$rc" -eq 0 ]; then
    echo "fuzz $target: ok, ${runs:-?} runs in ${seconds}s"
  else
    status=1
    artifact="$(ls -t "$out/artifacts/$target-"* 2>/dev/null | head -1)"
    reason="$(grep -m1 -E 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|SUMMARY' "$log")"
    echo "fuzz $target: FINDING (exit $rc) ${reason:-see $log} ${artifact:+input $artifact}"
  fi
done
exit "$status"

#!/usr/bin/env bash
# Installs what is needed, builds Velmora and runs every test: the plain build,
# then the suite again under AddressSanitizer + UndefinedBehaviorSanitizer, the
# engine tests under ThreadSanitizer, and a bounded run of each fuzz target.
# VELMORA_QUICK=1 runs only the plain build's tests.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
jobs=$(nproc)

scripts/install-deps.sh

if [ -f scripts/pulse.sh ]; then
  # shellcheck source=/dev/null
  source scripts/pulse.sh
  pulse_start
  trap pulse_stop EXIT
fi

status=0
run_suite() {  # name, build dir, ctest args..., -- cmake args...
  local name=$1 dir=$2; shift 2
  local ctest_args=() cmake_args=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do ctest_args+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  cmake_args=("$@")
  echo "=== $name: build"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${cmake_args[@]}" >/dev/null
  cmake --build "$dir" -j "$jobs"
  echo "=== $name: tests"
  if ! ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 300 "${ctest_args[@]}"; then
    status=1
  fi
}

run_suite "plain" build-ci -- -DVELMORA_WERROR=ON
if [ "${VELMORA_QUICK:-0}" != 1 ]; then
  run_suite "asan+ubsan" build-asan -- -DVELMORA_ASAN=ON -DVELMORA_BENCH=OFF
  run_suite "tsan (engine)" build-tsan -R '^(Engine|WaveOut|SoundCard|AudioIn|AudioOut)' -- \
    -DVELMORA_TSAN=ON -DVELMORA_BENCH=OFF
  if compgen -G "fuzz/*_fuzz.cpp" >/dev/null; then
    echo "=== fuzz: build"
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -DVELMORA_FUZZ=ON -DVELMORA_TESTS=OFF \
      -DVELMORA_BENCH=OFF >/dev/null
    cmake --build build-fuzz -j "$jobs"
    for f in build-fuzz/bin/*_fuzz; do
      n=$(basename "$f" _fuzz)
      corpus=$(mktemp -d)
      [ -d "fuzz/corpus/$n" ] && cp -r "fuzz/corpus/$n/." "$corpus/"
      echo "=== fuzz: $n for ${VELMORA_FUZZ_SECONDS:-60} s"
      if ! "$f" -max_total_time="${VELMORA_FUZZ_SECONDS:-60}" -max_len=65536 -rss_limit_mb=2048 \
        -print_final_stats=1 "$corpus" 2>"$corpus.log"; then
        tail -50 "$corpus.log"
        status=1
      else
        grep -E 'stat::number_of_executed_units' "$corpus.log" || true
      fi
      rm -rf "$corpus" "$corpus.log"
    done
  fi
fi
[ $status -eq 0 ] && echo "=== all suites passed" || echo "=== some suites failed"
exit $status

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

# shellcheck source=scripts/pulse.sh
source scripts/pulse.sh
pulse_start
trap pulse_stop EXIT

status=0
run_suite() {  # name, build dir, [-R regex], [-t "targets"], -- cmake args...
  local name=$1 dir=$2; shift 2
  local ctest_args=() cmake_args=() targets=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do
    case $1 in
      -t) read -r -a targets <<<"$2"; shift 2 ;;
      *) ctest_args+=("$1"); shift ;;
    esac
  done
  [ $# -gt 0 ] && shift
  cmake_args=("$@")
  echo "=== $name: build"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${cmake_args[@]}" >/dev/null
  if [ ${#targets[@]} -gt 0 ]; then
    cmake --build "$dir" -j "$jobs" --target "${targets[@]}"
  else
    cmake --build "$dir" -j "$jobs"
  fi
  echo "=== $name: tests"
  if ! ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 300 "${ctest_args[@]}"; then
    status=1
  fi
}

run_suite "plain" build-ci -- -DVELMORA_WERROR=ON
if [ "${VELMORA_QUICK:-0}" != 1 ]; then
  run_suite "asan+ubsan" build-asan -- -DVELMORA_ASAN=ON -DVELMORA_BENCH=OFF
  # The threaded parts: the engine, the WAV components, capture and playback,
  # the level meter and the MP3 decoder's own worker.
  run_suite "tsan (threaded parts)" build-tsan \
    -R '^(Engine|WaveIn|WaveOut|AudioIn|AudioOut|SoundCard|SoundIndicator|SoundLoopback|MP3ToWav)' \
    -t "engine_test wavein_test waveout_test audio_virtual_test soundcard_pulse_test indicator_test mp3decoder_test" \
    -- -DVELMORA_TSAN=ON -DVELMORA_BENCH=OFF -DVELMORA_GUI=OFF
  if compgen -G "fuzz/*_fuzz.cpp" >/dev/null; then
    echo "=== fuzz: build"
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -DVELMORA_FUZZ=ON -DVELMORA_TESTS=OFF \
      -DVELMORA_BENCH=OFF -DVELMORA_GUI=OFF >/dev/null
    fuzz_targets=()
    for src in fuzz/*_fuzz.cpp; do fuzz_targets+=("$(basename "$src" .cpp)"); done
    cmake --build build-fuzz -j "$jobs" --target "${fuzz_targets[@]}"
    for f in build-fuzz/bin/*_fuzz; do
      n=$(basename "$f" _fuzz)
      corpus=$(mktemp -d)
      [ -d "fuzz/corpus/$n" ] && cp -r "fuzz/corpus/$n/." "$corpus/"
      echo "=== fuzz: $n for ${VELMORA_FUZZ_SECONDS:-20} s"
      if ! "$f" -max_total_time="${VELMORA_FUZZ_SECONDS:-20}" -max_len=65536 -rss_limit_mb=2048 \
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

#!/bin/bash
# Runs the libFuzzer targets for a chosen time each, starting from their
# corpora in fuzz/corpus/<target>/, and merges what they found back:
#   scripts/fuzz.sh [SECONDS] [TARGET...]      (600 s, every target by default)
# Inputs that reach new code are merged into the corpus; every crash, leak,
# time-out or out-of-memory input is kept there too (as crash-*, leak-*, ...),
# so that each later run, CI's short one included, starts from it again.
# Prints the executions of each target; exits 1 when any target found a fault.
# Builds with clang into build-fuzz (VELMORA_FUZZ_JOBS parallel jobs, 2 unless
# set).
set -u
cd "$(dirname "$0")/.." || exit 2
seconds=${1:-600}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for src in fuzz/*_fuzz.cpp; do targets+=("$(basename "$src" .cpp)"); done
fi

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_FUZZ=ON \
  -DVELMORA_TESTS=OFF -DVELMORA_BENCH=OFF -DVELMORA_GUI=OFF >/dev/null || exit 2
cmake --build build-fuzz -j "${VELMORA_FUZZ_JOBS:-2}" --target "${targets[@]}" || exit 2

status=0
report=()
for t in "${targets[@]}"; do
  name=${t%_fuzz}
  corpus="fuzz/corpus/$name"
  mkdir -p "$corpus"
  work=$(mktemp -d)
  cp -r "$corpus/." "$work/"
  log="$work.log"
  echo "=== $name for $seconds s"
  # A finding is written straight into the corpus as a regression seed.
  if ! "build-fuzz/bin/$t" -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=2048 \
    -timeout=25 -print_final_stats=1 -artifact_prefix="$corpus/" "$work" 2>"$log"; then
    tail -40 "$log"
    status=1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  before=$(find "$corpus" -type f | wc -l)
  # Only inputs that add coverage join the corpus.
  "build-fuzz/bin/$t" -merge=1 -max_len=65536 -rss_limit_mb=2048 "$corpus" "$work" \
    >/dev/null 2>&1 || status=1
  after=$(find "$corpus" -type f | wc -l)
  report+=("$name: ${runs:-?} executions in $seconds s, $((after - before)) inputs added to $corpus")
  rm -rf "$work" "$log"
done
echo "=== summary"
printf '%s\n' "${report[@]}"
exit $status

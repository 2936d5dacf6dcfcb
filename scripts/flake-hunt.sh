#!/usr/bin/env bash
# Hunts for tests that pass or fail with thread scheduling: runs the threaded
# and sound-server tests over and over while a busy loop keeps every core
# loaded, then prints how often each test ran and failed. Not part of CI.
#
#   scripts/flake-hunt.sh [-n ROUNDS] [-b BUILD_DIR] [-R REGEX] [--no-build] [--no-hog] [SUITE...]
#
# SUITE is the name of a test program without "_test" (engine, indicator,
# mixer_pulse, ...); without any, the threaded and sound-server suites below.
# -R keeps only the tests whose names match REGEX (grep -E).
# Each round runs every chosen test once through ctest (-j as many as there
# are cores), 30 rounds by default; a failure does not end a test's rounds, so
# the counts show how often it fails. Builds the plain configuration first
# (build-ci, as scripts/test.sh) and starts a private sound server
# (scripts/pulse.sh). Logs and JUnit files of every round stay in
# BUILD_DIR/flake-hunt. Exits non-zero when any run failed.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

rounds=30
dir=build-ci
build=1
hog=1
only=
suites=()
while [ $# -gt 0 ]; do
  case $1 in
    -n) rounds=$2; shift 2 ;;
    -b) dir=$2; shift 2 ;;
    -R) only=$2; shift 2 ;;
    --no-build) build=0; shift ;;
    --no-hog) hog=0; shift ;;
    -h|--help) sed -n '2,17p' "$0"; exit 0 ;;
    -*) echo "unknown option $1" >&2; exit 2 ;;
    *) suites+=("$1"); shift ;;
  esac
done
if [ ${#suites[@]} -eq 0 ]; then
  # Worker threads, device threads and the sound server; the window tests
  # that open the sound server's devices or run jobs on workers.
  suites=(engine wavein waveout audio_virtual soundcard_pulse indicator mixer mixer_pulse
          mp3decoder mp3encoder ape cli_devices mainform systemsound eventmarshal closewindow
          mixing mixingpage)
fi
jobs=$(nproc)

if [ $build = 1 ]; then
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_WERROR=ON >/dev/null
  targets=()
  for s in "${suites[@]}"; do targets+=("${s}_test"); done
  cmake --build "$dir" -j "$jobs" --target velmora-cli "${targets[@]}"
fi

# The tests of the chosen programs, as ctest names them.
list=$(ctest --test-dir "$dir" -N -V)
names=()
for s in "${suites[@]}"; do
  found=0
  while IFS= read -r n; do
    [ -n "$n" ] || continue
    found=1
    if [ -n "$only" ] && ! grep -qE -- "$only" <<<"$n"; then continue; fi
    names+=("$n")
  done < <(awk -v exe="/bin/${s}_test " '
    /Test command:/ { cmd = $0 " " }
    /^ *Test +#[0-9]+: / { if (index(cmd, exe)) { sub(/^ *Test +#[0-9]+: /, ""); print } cmd = "" }
  ' <<<"$list")
  if [ $found = 0 ]; then echo "no tests of ${s}_test in $dir" >&2; exit 2; fi
done
if [ ${#names[@]} -eq 0 ]; then echo "no tests match $only" >&2; exit 2; fi
regex="^($(printf '%s\n' "${names[@]}" | sed 's/[][\\.*^$()+?{}|]/\\&/g' | paste -sd '|'))\$"

# shellcheck source=/dev/null
source scripts/pulse.sh
hogs=()
finish() {
  local p
  for p in "${hogs[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${hogs[@]}"; do wait "$p" 2>/dev/null || true; done
  pulse_stop
}
trap finish EXIT
pulse_start
if [ $hog = 1 ]; then
  for _ in $(seq "$jobs"); do
    (while :; do :; done) &
    hogs+=($!)
  done
fi

out="$(cd "$dir" && pwd)/flake-hunt"
rm -rf "$out"
mkdir -p "$out"
echo "=== flake hunt: ${#names[@]} tests of ${suites[*]}, $rounds rounds, $jobs busy loops"
start=$SECONDS
for r in $(seq "$rounds"); do
  if ctest --test-dir "$dir" -R "$regex" -j "$jobs" --timeout 300 --output-on-failure \
      --output-junit "$out/round$r.xml" >"$out/round$r.log" 2>&1; then
    echo "round $r: passed ($((SECONDS - start)) s so far)"
  else
    echo "round $r: FAILED: $(grep -E '^\s+[0-9]+ - ' "$out/round$r.log" | sed 's/^ *[0-9]* - //' |
      paste -sd ',' | sed 's/,/, /g') (log: $out/round$r.log)"
  fi
done

# Runs and failures per test, from the rounds' JUnit files.
echo "=== runs and failures per test ($((SECONDS - start)) s)"
cat "$out"/round*.xml | awk '
  /<testcase / {
    name = $0; sub(/.*<testcase name="/, "", name); sub(/".*/, "", name); sub(/  # GetParam.*/, "", name)
    st = $0; sub(/.*status="/, "", st); sub(/".*/, "", st)
    if (!(name in runs)) order[++n] = name
    runs[name]++
    if (st == "fail") fails[name]++
    if (st == "notrun" || st == "disabled") skips[name]++
  }
  END {
    total = 0; failed = 0
    for (i = 1; i <= n; i++) {
      t = order[i]
      printf "  %-90s %4d runs %4d failed%s\n", t, runs[t], fails[t], skips[t] ? sprintf(" (%d skipped)", skips[t]) : ""
      total += runs[t]; failed += fails[t]
    }
    printf "=== %d runs, %d failed\n", total, failed
    exit (failed > 0)
  }'

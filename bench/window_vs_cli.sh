#!/usr/bin/env bash
# One conversion done through the window against the same conversion done by
# velmora-cli, for each of the ten converter flows. Both use the default
# settings (the window reads a settings file that does not exist). The window
# side is bench/window_convert_probe.cpp on the offscreen platform, timed from
# the click of "Convert it" to the completion handler; the command-line side
# is the whole `velmora-cli convert IN OUT` process. Each flow runs RUNS times
# (default 5), the two sides alternating and taking turns at going first; the
# table shows the medians, the ratio window/cli and whether the window stays
# within GOAL percent (default 3) of the command line, and the peak resident
# memory of each side.
#
#   BUILD=/path/to/build RUNS=5 bench/window_vs_cli.sh [FLOW...]
#
# SECONDS_OF_MUSIC (default 180) sets the length of the source material.
# VELMORA_PROBE_NO_BAR_PAINT=1 keeps the window from painting its progress
# bars during the job (see bench/window_convert_probe.cpp), to weigh them.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=bench/compare_common.sh
source "$root/bench/compare_common.sh"
PROBE=$BUILD/bin/velmora-convert-probe
GOAL=${GOAL:-3}
SECONDS_OF_MUSIC=${SECONDS_OF_MUSIC:-180}
ALL_FLOWS=(mp3-wav wav-mp3 mp3-ogg ogg-mp3 wav-ogg ogg-wav wav-flac flac-wav wav-ape ape-wav)
FLOWS=("$@")
[ ${#FLOWS[@]} -gt 0 ] || FLOWS=("${ALL_FLOWS[@]}")

if [ -z "${NO_BUILD:-}" ]; then
  cmake -S "$root" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_BENCH=ON >/dev/null
  cmake --build "$BUILD" -j 2 --target velmora-convert-probe velmora-cli velmora_external >/dev/null
fi
for tool in sox lame oggenc flac /usr/bin/time bc; do
  command -v "$tool" >/dev/null || { echo "$tool is needed" >&2; exit 1; }
done

# The window finds a sound system at its first showing, as on a desktop.
if [ -z "${PULSE_SERVER:-}" ]; then
  # shellcheck source=scripts/pulse.sh
  source "$root/scripts/pulse.sh"
  pulse_start >/dev/null 2>&1 || true
  trap 'pulse_stop >/dev/null 2>&1 || true' EXIT
fi
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
  XDG_RUNTIME_DIR=$(mktemp -d)
  export XDG_RUNTIME_DIR
fi
export QT_QPA_PLATFORM=offscreen

# ---- the source set: one piece of music in every input type
src=$WORK/source
make_music "$src.wav" "$SECONDS_OF_MUSIC"
[ -f "$src.mp3" ] || lame --quiet "$src.wav" "$src.mp3"
[ -f "$src.ogg" ] || oggenc -Q -o "$src.ogg" "$src.wav"
[ -f "$src.flac" ] || flac -s -f -o "$src.flac" "$src.wav"
if [ ! -f "$src.ape" ]; then
  "$CLI" convert "$src.wav" "$src.ape" >/dev/null 2>&1 || rm -f "$src.ape"
fi

# median: the middle one of the numbers on stdin (mean of the two middle ones
# for an even count).
median() {
  sort -n | awk '{ v[NR] = $1 } END {
    if (NR == 0) exit 1
    if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# run_window FLOW IN OUT: "ms hwm_kb events wakeups window_cpu_ms cpu_ms" of
# one probe run.
run_window() {
  local line
  rm -f "$3"
  line=$("$PROBE" "$1" "$2" "$3" 2>>"$WORK/window.log") || return 1
  [ -s "$3" ] || return 1
  echo "$line" | awk '{ print $4, $6, $8, $10, $14, $16 }'
}

# run_cli IN OUT: "ms maxrss_kb cpu_ms" of one velmora-cli run.
run_cli() {
  local s e
  rm -f "$2"
  s=$(date +%s%N)
  /usr/bin/time -f '%M %U %S' -o "$WORK/cli.rss" "$CLI" convert "$1" "$2" >/dev/null 2>>"$WORK/cli.log" ||
    return 1
  e=$(date +%s%N)
  [ -s "$2" ] || return 1
  tail -1 "$WORK/cli.rss" | awk -v ms="$(echo "($e - $s) / 1000000" | bc -l)" \
    '{ print ms, $1, ($2 + $3) * 1000 }'
}

# The command line's fixed cost (start, loading the codec libraries, exit),
# which its times include and the window's do not: a 50 ms file, RUNS times.
sox -n -r 44100 -b 16 -c 2 "$WORK/tiny.wav" synth 0.05 sine 440
flac -s -f -o "$WORK/tiny.flac" "$WORK/tiny.wav"
fixed=()
for _ in $(seq "$RUNS"); do
  read -r ms _ _ < <(run_cli "$WORK/tiny.flac" "$WORK/tiny-out.wav") || { echo "velmora-cli failed" >&2; exit 1; }
  fixed+=("$ms")
done
cli_fixed=$(printf '%s\n' "${fixed[@]}" | median)

echo "load before: $(uptime)"
printf '%-9s %10s %10s %7s %-7s %7s %7s %8s %8s %8s %6s %7s\n' flow "window ms" "cli ms" ratio \
  verdict "win MB" "cli MB" "win cpu" "cli cpu" "gui cpu" events wakeups
notes=()
for flow in "${FLOWS[@]}"; do
  in=$src.${flow%-*}
  ext=${flow#*-}
  wout=$WORK/out-window.$ext
  cout=$WORK/out-cli.$ext
  if [ ! -f "$in" ]; then
    notes+=("$flow: skipped, no ${flow%-*} source (velmora-cli could not make one)")
    continue
  fi
  # One unmeasured run of each: the files are in the page cache for both.
  if ! run_cli "$in" "$cout" >/dev/null; then
    notes+=("$flow: skipped, velmora-cli cannot convert ${flow%-*} to $ext: $(tail -1 "$WORK/cli.log")")
    continue
  fi
  if ! run_window "$flow" "$in" "$wout" >/dev/null; then
    notes+=("$flow: skipped, the window's conversion failed: $(tail -1 "$WORK/window.log")")
    continue
  fi
  wms=() cms=() wkb=() ckb=() ev=() wk=() wgui=() wcpu=() ccpu=()
  for i in $(seq "$RUNS"); do
    for side in $( ((i % 2)) && echo "window cli" || echo "cli window"); do
      if [ "$side" = window ]; then
        read -r ms kb e w g p < <(run_window "$flow" "$in" "$wout") || {
          echo "$flow: window run $i failed" >&2; exit 1; }
        wms+=("$ms") wkb+=("$kb") ev+=("$e") wk+=("$w") wgui+=("$g") wcpu+=("$p")
      else
        read -r ms kb p < <(run_cli "$in" "$cout") || { echo "$flow: cli run $i failed" >&2; exit 1; }
        cms+=("$ms") ckb+=("$kb") ccpu+=("$p")
      fi
    done
  done
  w=$(printf '%s\n' "${wms[@]}" | median)
  c=$(printf '%s\n' "${cms[@]}" | median)
  ratio=$(echo "$w / $c" | bc -l)
  if [ "$(echo "$ratio <= 1 + $GOAL / 100" | bc -l)" = 1 ]; then verdict=ok; else verdict=SLOWER; fi
  printf '%-9s %10.1f %10.1f %7.3f %-7s %7.1f %7.1f %8.0f %8.0f %8.1f %6s %7s\n' "$flow" "$w" "$c" \
    "$ratio" "$verdict" \
    "$(echo "$(printf '%s\n' "${wkb[@]}" | sort -n | tail -1) / 1024" | bc -l)" \
    "$(echo "$(printf '%s\n' "${ckb[@]}" | sort -n | tail -1) / 1024" | bc -l)" \
    "$(printf '%s\n' "${wcpu[@]}" | median)" "$(printf '%s\n' "${ccpu[@]}" | median)" \
    "$(printf '%s\n' "${wgui[@]}" | median)" \
    "$(printf '%s\n' "${ev[@]}" | median)" "$(printf '%s\n' "${wk[@]}" | median)"
  # Same settings give the same output, give or take the tags.
  wsize=$(stat -c %s "$wout") csize=$(stat -c %s "$cout")
  if [ "$(echo "d = $wsize - $csize; if (d < 0) d = -d; d * 100 > $csize" | bc)" = 1 ]; then
    notes+=("$flow: the outputs differ by more than 1 % in size (window $wsize, cli $csize bytes)")
  fi
  if [ -n "${VERBOSE:-}" ]; then
    echo "  window ms: $(printf ' %.1f' "${wms[@]}")"
    echo "  cli ms:    $(printf ' %.1f' "${cms[@]}")"
  fi
done
echo "load after: $(uptime)"
echo "window: from the click of \"Convert it\" to the completion handler; cli: the whole process."
printf 'cli fixed cost (start-up and exit, a 50 ms flac to wav): %.1f ms, included in cli ms.\n' "$cli_fixed"
echo "goal: window no more than $GOAL % longer than the cli; MB: peak resident memory (VmHWM / maxrss)."
echo "cpu: processor ms of the job (window: the whole process from the click; cli: the whole process),"
echo "gui cpu: of the window's thread alone; events: calls queued to the window during the job;"
echo "wakeups: turns of its event loop then. cpu, events and wakeups are medians."
for n in "${notes[@]}"; do echo "note: $n"; done

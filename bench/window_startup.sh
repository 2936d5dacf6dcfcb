#!/usr/bin/env bash
# Start-up time of the window: from starting the program to the first paint of
# the main window, and its resident memory then. Runs the probe (the
# program's own start sequence, bench/window_startup_probe.cpp) RUNS times on
# one X server (Xvfb) when there is one, and on the offscreen platform, and
# prints the best and the median of each. A private sound server is started
# when scripts/pulse.sh is there, so that the first showing finds a sound
# system as it would on a desktop.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${BUILD:-$root/build}
RUNS=${RUNS:-7}
PROBE=$BUILD/bin/velmora-startup-probe

# measure LABEL: RUNS start-ups in the current environment.
measure() {
  local label=$1 times=() mem="" line sorted best median
  for _ in $(seq "$RUNS"); do
    line=$("$PROBE" "$(date +%s%N)" 2>/dev/null | grep 'first paint') || {
      echo "$label: the window did not paint"; return 1; }
    times+=("$(echo "$line" | sed -E 's/.*after ([0-9.]+) ms.*/\1/')")
    mem=$(echo "$line" | sed -E 's/.*memory ([0-9]+) KB.*/\1/')
  done
  sorted=$(printf '%s\n' "${times[@]}" | sort -n)
  best=$(echo "$sorted" | head -1)
  median=$(echo "$sorted" | sed -n "$(( (RUNS + 1) / 2 ))p")
  printf '%-20s best %7.1f ms  median %7.1f ms  resident %6.1f MB\n' "$label" "$best" "$median" \
    "$(echo "$mem / 1024" | bc -l)"
}

if [ "${1:-}" = --on-x ]; then
  measure "X server (Xvfb)"
  exit
fi

cmake -S "$root" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j "$(nproc)" --target velmora-startup-probe velmora_external >/dev/null
if [ -z "${PULSE_SERVER:-}" ]; then
  # shellcheck source=scripts/pulse.sh
  source "$root/scripts/pulse.sh"
  pulse_start
  trap pulse_stop EXIT
fi
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
  XDG_RUNTIME_DIR=$(mktemp -d)
  export XDG_RUNTIME_DIR
fi

QT_QPA_PLATFORM=offscreen measure "offscreen platform"
if command -v xvfb-run >/dev/null; then
  QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x1024x24" "$0" --on-x
fi

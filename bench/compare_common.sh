# Shared by the whole-conversion comparison scripts: a 10-minute 44.1 kHz
# stereo test file, timing the best of N runs, and the ratio line.
# Source it; it expects $root (the source tree) and builds velmora-cli there.

set -euo pipefail
: "${root:?}"
BUILD=${BUILD:-$root/build}
CLI=$BUILD/bin/velmora-cli
RUNS=${RUNS:-5}
WORK=${WORK:-$(mktemp -d /tmp/velmora-bench.XXXXXX)}

build_cli() {
  cmake -S "$root" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$BUILD" -j "$(nproc)" --target velmora-cli >/dev/null
}

# make_music FILE [SECONDS]: stereo 44.1 kHz 16-bit material with tones, a
# moving chord and some noise, so that encoders do real work.
make_music() {
  local out=$1 secs=${2:-600}
  [ -f "$out" ] && return 0
  sox -n -r 44100 -b 16 -c 2 "$out" synth "$secs" \
    sine 220-880 sine 330-440 pinknoise remix 1,2v0.3 2,3v0.3 vol 0.5 2>/dev/null ||
    sox -n -r 44100 -b 16 -c 2 "$out" synth "$secs" pinknoise vol 0.5
}

# best_time CMD...: the best wall-clock seconds of $RUNS runs.
best_time() {
  local best="" t s e
  for _ in $(seq "$RUNS"); do
    s=$(date +%s.%N)
    "$@" >/dev/null 2>&1
    e=$(date +%s.%N)
    t=$(echo "$e - $s" | bc -l)
    if [ -z "$best" ] || [ "$(echo "$t < $best" | bc -l)" = 1 ]; then best=$t; fi
  done
  printf '%.3f' "$best"
}

# report NAME REF_SECONDS VELMORA_SECONDS: speed ratio, >= 1 means Velmora is faster.
report() {
  local ratio
  ratio=$(echo "$2 / $3" | bc -l)
  printf '%-28s reference %7.3f s  velmora %7.3f s  speed ratio %.2f\n' "$1" "$2" "$3" "$ratio"
}

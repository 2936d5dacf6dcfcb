#!/usr/bin/env bash
# WAV to Ogg Vorbis at quality 0.5 against oggenc -q 5, and Ogg Vorbis to WAV
# against oggdec, velmora-cli on the same 10-minute 44.1 kHz stereo file.
# Prints speed ratios (reference time / velmora time) of wall-clock time and
# of CPU time (user + system), the fairer one when the machine is shared.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=compare_common.sh
source "$root/bench/compare_common.sh"

# measure CMD...: sets WALL and CPU to the best wall-clock and the best CPU
# seconds of $RUNS runs.
measure() {
  local w u s c
  WALL="" CPU=""
  for _ in $(seq "$RUNS"); do
    /usr/bin/time -o "$WORK/time" -f '%e %U %S' "$@" >/dev/null 2>&1
    read -r w u s <"$WORK/time"
    c=$(echo "$u + $s" | bc -l)
    if [ -z "$WALL" ] || [ "$(echo "$w < $WALL" | bc -l)" = 1 ]; then WALL=$w; fi
    if [ -z "$CPU" ] || [ "$(echo "$c < $CPU" | bc -l)" = 1 ]; then CPU=$c; fi
  done
}

# compare NAME REF_CMD... -- VELMORA_CMD...
compare() {
  local name=$1 ref_wall ref_cpu
  shift
  local ref=() vel=()
  while [ "$1" != "--" ]; do ref+=("$1"); shift; done
  shift
  vel=("$@")
  measure "${ref[@]}"
  ref_wall=$WALL ref_cpu=$CPU
  measure "${vel[@]}"
  report "$name" "$ref_wall" "$WALL"
  report "$name (CPU time)" "$ref_cpu" "$CPU"
}

build_cli
make_music "$WORK/a.wav"

compare "WAV to Ogg (q 0.5)" oggenc -Q -q 5 -o "$WORK/enc_ref.ogg" "$WORK/a.wav" -- \
  "$CLI" convert "$WORK/a.wav" "$WORK/enc_vel.ogg" --quality 0.5
# The same library at the same quality: the sizes should be close (the
# streams differ in serial numbers and comments).
printf '  sizes: oggenc %s bytes, velmora %s bytes\n' \
  "$(stat -c %s "$WORK/enc_ref.ogg")" "$(stat -c %s "$WORK/enc_vel.ogg")"

compare "Ogg to WAV" oggdec -Q -o "$WORK/dec_ref.wav" "$WORK/enc_ref.ogg" -- \
  "$CLI" convert "$WORK/enc_ref.ogg" "$WORK/dec_vel.wav"
cmp <(tail -c +45 "$WORK/dec_ref.wav") <(tail -c +45 "$WORK/dec_vel.wav") >/dev/null &&
  echo "  (samples identical)"
rm -rf "$WORK"

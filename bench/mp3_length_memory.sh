#!/usr/bin/env bash
# Peak resident memory of velmora-cli convert from a 10-minute and a 60-minute
# MP3 (44.1 kHz stereo) to each type (WAV, FLAC, Ogg, APE, MP3), measured with
# /usr/bin/time -v. An MP3 source is decoded a frame at a time, so the peak of
# each pair must stay under $LIMIT_MB and be the same for both lengths (within
# $SLACK_MB). Prints one line per pair and length: peak MB and seconds.
#
# The 60-minute file is the 10-minute one six times over: lame writes it
# without an information frame (-t), so the copies join into one stream.
#
#   BUILD=/path/to/build  build folder (default: the source tree's build/)
#   SKIP_BUILD=1          use $BUILD/bin/velmora-cli as it is
#   LIMIT_MB=50
#   SLACK_MB=3            allowed difference between the two lengths
#   TYPES="wav flac ogg ape mp3"
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
own_work=0
[ -n "${WORK:-}" ] || own_work=1
# shellcheck source=compare_common.sh
source "$root/bench/compare_common.sh"
LIMIT_MB=${LIMIT_MB:-50}
mkdir -p "$WORK"
SLACK_MB=${SLACK_MB:-3}
read -r -a types <<<"${TYPES:-wav flac ogg ape mp3}"
TIME=/usr/bin/time
for t in sox lame bc; do
  command -v "$t" >/dev/null || { echo "$t is needed" >&2; exit 1; }
done
[ -x "$TIME" ] || { echo "$TIME is needed (package time)" >&2; exit 1; }
[ "${SKIP_BUILD:-0}" = 1 ] || build_cli
[ -x "$CLI" ] || { echo "$CLI is missing" >&2; exit 1; }

# A tone sweep: quick to encode at a low bit rate. lame would resample it to
# 16 kHz for 32 kbit/s unless told to keep 44.1 kHz.
ten=$WORK/ten.mp3
sixty=$WORK/sixty.mp3
if [ ! -f "$ten" ]; then
  sox -n -r 44100 -b 16 -c 2 -t wav - synth 600 sine 220-880 sine 330-440 vol 0.5 2>/dev/null |
    lame --quiet -t -b 32 --resample 44.1 -q 9 - "$ten"
fi
[ -f "$sixty" ] || cat "$ten" "$ten" "$ten" "$ten" "$ten" "$ten" >"$sixty"

echo "velmora-cli: $CLI"
printf 'sources: 10 and 60 min, 44.1 kHz stereo, 32 kbit/s (%s and %s bytes)\n' \
  "$(stat -c %s "$ten")" "$(stat -c %s "$sixty")"
printf '%-10s %14s %14s %10s %10s  %s\n' pair "10 min peak MB" "60 min peak MB" "10 min s" \
  "60 min s" note
bad=0
peak() { # peak MB and seconds of converting $1 to $2
  "$TIME" -v -o "$WORK/time.txt" "$CLI" convert "$1" "$2" >/dev/null 2>"$WORK/err.txt" || return 1
  local kb wall
  kb=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$WORK/time.txt")
  wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {print $2}' "$WORK/time.txt")
  # m:ss.ss or h:mm:ss to seconds
  wall=$(echo "$wall" | awk -F: '{s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; print s}')
  printf '%.1f %s' "$(echo "$kb / 1024" | bc -l)" "$wall"
}
for o in "${types[@]}"; do
  out=$WORK/out.$o
  rm -f "$out"
  if ! r10=$(peak "$ten" "$out"); then
    printf '%-10s FAILED: %s\n' "mp3->$o" "$(grep -v '^[0-9]*$' "$WORK/err.txt" | tail -1)"
    bad=1
    continue
  fi
  rm -f "$out"
  if ! r60=$(peak "$sixty" "$out"); then
    printf '%-10s FAILED: %s\n' "mp3->$o" "$(grep -v '^[0-9]*$' "$WORK/err.txt" | tail -1)"
    bad=1
    continue
  fi
  rm -f "$out"
  read -r m10 s10 <<<"$r10"
  read -r m60 s60 <<<"$r60"
  note=""
  if [ "$(echo "$m10 > $LIMIT_MB || $m60 > $LIMIT_MB" | bc -l)" = 1 ]; then
    note="OVER $LIMIT_MB MB"
    bad=1
  fi
  if [ "$(echo "$m60 - $m10 > $SLACK_MB" | bc -l)" = 1 ]; then
    note="${note:+$note; }grows with the length"
    bad=1
  fi
  printf '%-10s %14.1f %14.1f %10.1f %10.1f  %s\n' "mp3->$o" "$m10" "$m60" "$s10" "$s60" "$note"
done
rm -f "$WORK"/out.* "$WORK/time.txt" "$WORK/err.txt"
[ $own_work -eq 0 ] || rm -rf "$WORK"
[ $bad -eq 0 ] && echo "all pairs within the goal" || echo "some pairs over the goal or failed"
exit $bad

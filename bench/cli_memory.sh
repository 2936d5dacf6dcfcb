#!/usr/bin/env bash
# Peak resident memory of velmora-cli convert for every pair of file types
# (WAV, MP3, Ogg, FLAC, APE; 25 pairs) on a 3-minute 44.1 kHz stereo source,
# measured with /usr/bin/time. Prints one line per pair: peak MB, seconds and
# a flag when the peak is over $LIMIT_MB (50 MB by default).
#
# An MP3 source is decoded a frame at a time, as the writer asks for data;
# bench/mp3_length_memory.sh shows that its peak does not grow with the length.
#
# An APE source costs about 26 MB more than the others whatever its length:
# the APE reader decodes through FFmpeg's libraries, and loading them (with
# what they link) is most of that.
#
#   BUILD=/path/to/build  build folder (default: the source tree's build/)
#   SKIP_BUILD=1          use $BUILD/bin/velmora-cli as it is
#   LENGTH=180            seconds of audio
#   LIMIT_MB=50
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
own_work=0
[ -n "${WORK:-}" ] || own_work=1
# shellcheck source=compare_common.sh
source "$root/bench/compare_common.sh"
LENGTH=${LENGTH:-180}
LIMIT_MB=${LIMIT_MB:-50}
TIME=/usr/bin/time
for t in sox lame oggenc flac bc; do
  command -v "$t" >/dev/null || { echo "$t is needed" >&2; exit 1; }
done
[ -x "$TIME" ] || { echo "$TIME is needed (package time)" >&2; exit 1; }
[ "${SKIP_BUILD:-0}" = 1 ] || build_cli
[ -x "$CLI" ] || { echo "$CLI is missing" >&2; exit 1; }

types=(wav mp3 ogg flac ape)
src=$WORK/src
make_music "$src.wav" "$LENGTH"
[ -f "$src.mp3" ] || lame --quiet -b 128 "$src.wav" "$src.mp3"
[ -f "$src.ogg" ] || oggenc -Q -q 5 "$src.wav" -o "$src.ogg"
[ -f "$src.flac" ] || flac -s "$src.wav" -o "$src.flac"
[ -f "$src.ape" ] || "$CLI" convert "$src.wav" "$src.ape" 2>/dev/null

echo "velmora-cli: $CLI"
printf 'source: %d s, 44.1 kHz stereo\n' "$LENGTH"
printf '%-12s %9s %8s  %s\n' pair "peak MB" seconds note
over=0
for i in "${types[@]}"; do
  for o in "${types[@]}"; do
    out=$WORK/out.$o
    rm -f "$out"
    if ! "$TIME" -f '%M %e' -o "$WORK/time.txt" "$CLI" convert "$src.$i" "$out" \
      >/dev/null 2>"$WORK/err.txt"; then
      printf '%-12s %9s %8s  FAILED: %s\n' "$i->$o" - - "$(grep -v '^[0-9]*$' "$WORK/err.txt" | tail -1)"
      over=1
      continue
    fi
    read -r kb secs < <(tail -1 "$WORK/time.txt")
    mb=$(echo "$kb / 1024" | bc -l)
    note=""
    if [ "$(echo "$mb > $LIMIT_MB" | bc -l)" = 1 ]; then
      note="OVER $LIMIT_MB MB"
      over=1
    fi
    printf '%-12s %9.1f %8.2f  %s\n' "$i->$o" "$mb" "$secs" "$note"
  done
done
rm -f "$WORK"/out.* "$WORK/time.txt" "$WORK/err.txt"
[ $own_work -eq 0 ] || rm -rf "$WORK"
[ $over -eq 0 ] && echo "all pairs within the goal" || echo "some pairs over the goal or failed"
exit $over

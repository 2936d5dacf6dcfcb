#!/usr/bin/env bash
# MP3 encoding and decoding, velmora-cli against the reference tools on the
# same 10-minute 44.1 kHz stereo file:
#   WAV to MP3 at 128 kbit/s   against  lame -b 128
#   MP3 to WAV                 against  madplay -d (no dither: the same work)
# Prints the speed ratio (reference time / velmora time, best of $RUNS runs;
# >= 1 means Velmora is faster) and the same ratio for CPU time (user +
# system), which a busy machine disturbs less than wall-clock time.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=compare_common.sh
source "$root/bench/compare_common.sh"
for t in lame madplay; do
  command -v "$t" >/dev/null || { echo "$t is needed" >&2; exit 1; }
done
build_cli
make_music "$WORK/a.wav"
lame --quiet -b 128 "$WORK/a.wav" "$WORK/in.mp3"

# compare NAME REFERENCE_COMMAND VELMORA_COMMAND (each one string)
compare() {
  local name=$1 ref=$2 vel=$3
  if command -v hyperfine >/dev/null; then
    hyperfine -N -w 1 -r "$RUNS" --export-json "$WORK/t.json" -n ref "$ref" -n vel "$vel" \
      >/dev/null 2>&1
    python3 - "$name" "$WORK/t.json" <<'PY'
import json, sys
r = {x["command"]: x for x in json.load(open(sys.argv[2]))["results"]}
ref, vel = r["ref"], r["vel"]
cpu = lambda x: x["user"] + x["system"]
print("%-24s reference %7.3f s  velmora %7.3f s  speed ratio %.2f   (cpu %.3f / %.3f s, ratio %.2f)"
      % (sys.argv[1], ref["min"], vel["min"], ref["min"] / vel["min"], cpu(ref), cpu(vel),
         cpu(ref) / cpu(vel)))
PY
  else
    local a b
    # shellcheck disable=SC2086
    a=$(best_time $ref)
    # shellcheck disable=SC2086
    b=$(best_time $vel)
    report "$name" "$a" "$b"
  fi
}

compare "WAV to MP3 128 kbit/s" \
  "lame --quiet -b 128 $WORK/a.wav $WORK/ref.mp3" \
  "$CLI convert $WORK/a.wav $WORK/vel.mp3"
# Same encoder, same settings: the audio frames must be the same bytes.
if cmp -s <(tail -c +2000 "$WORK/ref.mp3") <(tail -c +2000 "$WORK/vel.mp3"); then
  echo "  (audio frames identical to lame's)"
fi

compare "MP3 to WAV" \
  "madplay -Q -d -o wave:$WORK/ref.wav $WORK/in.mp3" \
  "$CLI convert $WORK/in.mp3 $WORK/vel.wav"
[ "$(stat -c %s "$WORK/ref.wav")" = "$(stat -c %s "$WORK/vel.wav")" ] &&
  echo "  (same length as madplay's)"
rm -rf "$WORK"

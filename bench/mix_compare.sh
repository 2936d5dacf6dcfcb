#!/usr/bin/env bash
# Mixing and joining two WAV files: velmora-cli mix against sox (sox -m for
# the mix, plain sox for the join) on the same two 10-minute 44.1 kHz stereo
# files. Prints speed ratios (>= 1: Velmora is faster).
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=compare_common.sh
source "$root/bench/compare_common.sh"
build_cli
make_music "$WORK/a.wav"
[ -f "$WORK/b.wav" ] ||
  sox -R -n -r 44100 -b 16 -c 2 "$WORK/b.wav" synth 600 sine 330-660 brownnoise \
    remix 1,2v0.4 2,1v0.4 vol 0.4

ref=$(best_time sox -m "$WORK/a.wav" "$WORK/b.wav" "$WORK/mix_sox.wav")
vel=$(best_time "$CLI" mix "$WORK/a.wav" "$WORK/b.wav" "$WORK/mix_vel.wav")
report "mix (sox -m)" "$ref" "$vel"

ref=$(best_time sox "$WORK/a.wav" "$WORK/b.wav" "$WORK/cat_sox.wav")
vel=$(best_time "$CLI" mix --concat "$WORK/a.wav" "$WORK/b.wav" "$WORK/cat_vel.wav")
report "concatenate (sox a b)" "$ref" "$vel"
cmp "$WORK/cat_sox.wav" "$WORK/cat_vel.wav" >/dev/null && echo "  (joined files identical)"
rm -rf "$WORK"

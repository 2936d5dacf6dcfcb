#!/usr/bin/env bash
# WAV to FLAC with the converter page's settings (block 4608, fixed predictors
# only, mid-side stereo, partition order 0) against flac with the same options,
# and FLAC to WAV against flac -d, velmora-cli on the same 10-minute 44.1 kHz
# stereo file. Prints speed ratios (reference time / velmora time).
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=compare_common.sh
source "$root/bench/compare_common.sh"
build_cli
make_music "$WORK/a.wav"

ref=$(best_time flac -s -f -b 4608 -l 0 -m -r 0 -o "$WORK/enc_ref.flac" "$WORK/a.wav")
vel=$(best_time "$CLI" convert "$WORK/a.wav" "$WORK/enc_vel.flac")
report "WAV to FLAC (defaults)" "$ref" "$vel"
# The same encoder with the same settings: the audio frames should match; the
# reference adds a seek table, padding and a comment block.
printf '  sizes: flac %s bytes, velmora %s bytes\n' \
  "$(stat -c %s "$WORK/enc_ref.flac")" "$(stat -c %s "$WORK/enc_vel.flac")"
flac -s -t "$WORK/enc_vel.flac" && echo "  (velmora's file passes flac -t)"

ref=$(best_time flac -s -f -d -o "$WORK/dec_ref.wav" "$WORK/enc_ref.flac")
vel=$(best_time "$CLI" convert "$WORK/enc_ref.flac" "$WORK/dec_vel.wav")
report "FLAC to WAV" "$ref" "$vel"
cmp <(tail -c +45 "$WORK/dec_ref.wav") <(tail -c +45 "$WORK/dec_vel.wav") >/dev/null &&
  echo "  (samples identical)"
rm -rf "$WORK"

#!/usr/bin/env bash
# WAV to WAV (PCM copy) and IMA ADPCM decoding, velmora-cli against sox, on
# the same 10-minute 44.1 kHz stereo file. Prints speed ratios.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=compare_common.sh
source "$root/bench/compare_common.sh"
build_cli
make_music "$WORK/a.wav"
sox "$WORK/a.wav" -e ima-adpcm "$WORK/ima.wav"
sox "$WORK/a.wav" -e ms-adpcm "$WORK/ms.wav"

ref=$(best_time sox "$WORK/a.wav" "$WORK/b_sox.wav")
vel=$(best_time "$CLI" convert "$WORK/a.wav" "$WORK/b_vel.wav")
report "PCM copy" "$ref" "$vel"
cmp <(tail -c +45 "$WORK/b_sox.wav") <(tail -c +45 "$WORK/b_vel.wav") >/dev/null &&
  echo "  (samples identical)"

ref=$(best_time sox "$WORK/ima.wav" -e signed -b 16 "$WORK/ima_sox.wav")
vel=$(best_time "$CLI" convert "$WORK/ima.wav" "$WORK/ima_vel.wav")
report "IMA ADPCM decode" "$ref" "$vel"
printf '  velmora IMA decode: %.0f x real time\n' "$(echo "600 / $vel" | bc -l)"

ref=$(best_time sox "$WORK/ms.wav" -e signed -b 16 "$WORK/ms_sox.wav")
vel=$(best_time "$CLI" convert "$WORK/ms.wav" "$WORK/ms_vel.wav")
report "MS ADPCM decode" "$ref" "$vel"
printf '  velmora MS decode: %.0f x real time\n' "$(echo "600 / $vel" | bc -l)"

ref=$(best_time sox "$WORK/a.wav" -e ima-adpcm "$WORK/enc_sox.wav")
vel=$(best_time "$CLI" convert "$WORK/a.wav" "$WORK/enc_vel.wav" --adpcm)
report "IMA ADPCM encode" "$ref" "$vel"
rm -rf "$WORK"

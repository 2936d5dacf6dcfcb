#!/usr/bin/env bash
# APE (Monkey's Audio) through velmora-cli on 10 minutes of 44.1 kHz stereo
# music: sizes at levels 2000 and 4000 against `flac -8`, encoding speed in
# times real time, and decoding speed against ffmpeg on the same file.
#
# The music is the Ogg soundtrack of the Debian package drascula-music
# (apt-get install drascula-music), decoded to WAV here; without it the
# synthetic material of compare_common.sh is used.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=compare_common.sh
source "$root/bench/compare_common.sh"
build_cli
SECONDS_OF_AUDIO=600
tracks=(/usr/share/scummvm/drascula/audio/track*.ogg)
if [ -f "${tracks[0]}" ] && command -v sox >/dev/null; then
  echo "material: drascula-music soundtrack, first $SECONDS_OF_AUDIO s"
  sox "${tracks[@]}" -r 44100 -c 2 -b 16 "$WORK/a.wav" trim 0 "$SECONDS_OF_AUDIO" 2>/dev/null
else
  echo "material: synthetic (drascula-music is not installed)"
  make_music "$WORK/a.wav" "$SECONDS_OF_AUDIO"
fi
pcm=$(($(stat -c %s "$WORK/a.wav") - 44))

flac -s -f -8 "$WORK/a.wav" -o "$WORK/a.flac"
flac_size=$(stat -c %s "$WORK/a.flac")

x_real_time() { echo "$SECONDS_OF_AUDIO / $1" | bc -l; }

for level in 2000 4000; do
  t=$(best_time "$CLI" convert "$WORK/a.wav" "$WORK/a$level.ape" --level "$level")
  size=$(stat -c %s "$WORK/a$level.ape")
  printf 'level %s: %10d bytes (%.2f%% of PCM, %.4f of flac -8), encode %.3f s = %.0f x real time\n' \
    "$level" "$size" "$(echo "100 * $size / $pcm" | bc -l)" "$(echo "$size / $flac_size" | bc -l)" \
    "$t" "$(x_real_time "$t")"
done
printf 'flac -8:    %10d bytes (%.2f%% of PCM)\n' "$flac_size" "$(echo "100 * $flac_size / $pcm" | bc -l)"

for level in 2000 4000; do
  ref=$(best_time ffmpeg -v error -y -i "$WORK/a$level.ape" "$WORK/ff$level.wav")
  vel=$(best_time "$CLI" convert "$WORK/a$level.ape" "$WORK/vel$level.wav")
  report "decode level $level" "$ref" "$vel"
  printf '  velmora decode: %.0f x real time\n' "$(x_real_time "$vel")"
  cmp <(tail -c +45 "$WORK/a.wav") <(tail -c +45 "$WORK/vel$level.wav") >/dev/null &&
    echo "  (decoded samples identical to the source)"
done
rm -rf "$WORK"

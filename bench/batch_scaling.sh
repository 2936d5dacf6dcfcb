#!/usr/bin/env bash
# velmora-cli batch on 16 three-minute 44.1 kHz stereo WAV files, to FLAC and
# to MP3: "-j <cores>" against "-j 1", and "-j 1" against a shell loop of
# "convert" over the same files. Prints the wall-clock seconds (best of
# $RUNS runs), the speed-up of the parallel batch over the serial one and what
# it comes to per core, and the serial batch's speed ratio over the loop
# (>= 1 means the batch is no slower).
#   RUNS=3 (default)      runs per measurement
#   FILES=16 SECONDS_EACH=180  the input set
#   SKIP_BUILD=1          use $BUILD/bin/velmora-cli as it is
root=$(cd "$(dirname "$0")/.." && pwd)
RUNS=${RUNS:-3}
source "$root/bench/compare_common.sh"
[ "${SKIP_BUILD:-0}" = 1 ] || build_cli
FILES=${FILES:-16}
SECS=${SECONDS_EACH:-180}
cores=$(nproc)
echo "velmora-cli: $CLI"
echo "machine: $cores cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'))"

mkdir -p "$WORK/in"
make_music "$WORK/music.wav" "$SECS"
for i in $(seq -w 1 "$FILES"); do
  # The same material, each file its own copy (no file is read from the
  # cache of another's name).
  [ -f "$WORK/in/t$i.wav" ] || cp "$WORK/music.wav" "$WORK/in/t$i.wav"
done
echo "input: $FILES files of $SECS s"

loop() {
  local ext=$1 out=$2
  rm -rf "$out" && mkdir -p "$out"
  for f in "$WORK"/in/*.wav; do
    "$CLI" convert "$f" "$out/$(basename "$f" .wav).$ext" || return 1
  done
}
batch() {
  local ext=$1 jobs=$2 out=$3
  rm -rf "$out"
  "$CLI" batch "$WORK/in" --to "$ext" --out "$out" -j "$jobs"
}

for ext in flac mp3; do
  serial=$(best_time batch "$ext" 1 "$WORK/out-1")
  parallel=$(best_time batch "$ext" "$cores" "$WORK/out-n")
  shell=$(best_time loop "$ext" "$WORK/out-loop")
  speedup=$(echo "$serial / $parallel" | bc -l)
  printf '%-5s batch -j 1 %7.3f s  batch -j %d %7.3f s  speed-up %.2f (%.2f of %d cores)\n' \
    "$ext" "$serial" "$cores" "$parallel" "$speedup" "$(echo "$speedup / $cores" | bc -l)" "$cores"
  report "$ext: loop of convert vs -j 1" "$shell" "$serial"
done
rm -rf "$WORK"

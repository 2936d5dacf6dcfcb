#!/usr/bin/env bash
# Builds the Debian package from a configured and built tree (cpack -G DEB)
# and checks it: the files it holds, its dependencies (Debian runtime packages
# only), the menu entry, the metainfo and the manual page with their
# validators, the run paths of its programs and libraries, and that the
# installed command-line tool finds its libraries and reads Settings.ini from
# ~/.config/Velmora when its folder is not writable. Prints each fault and
# exits 1 if there is one. Usage: scripts/check-package.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
faults=0
fault() {
  echo "check-package: $*" >&2
  faults=$((faults + 1))
}

echo "=== package: cpack -G DEB"
if ! (cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1); then
  cat "$work/cpack.log" >&2
  fault "cpack failed"
  exit 1
fi
debs=("$work"/out/velmora_*.deb)
[ -f "${debs[0]}" ] || { fault "cpack made no velmora_*.deb"; exit 1; }
deb=${debs[0]}
echo "$(basename "$deb"): $(du -k "$deb" | cut -f1) kB"

# The control fields.
dpkg-deb --info "$deb" >"$work/info"
field() { sed -n "s/^ $1: //p" "$work/info"; }
[ "$(field Package)" = velmora ] || fault "package name: '$(field Package)'"
depends=$(field Depends)
echo "Depends: $depends"
[ -n "$depends" ] || fault "no Depends line"
IFS=',' read -r -a deps <<<"$depends"
names=()
for d in "${deps[@]}"; do
  for alt in ${d//|/ }; do
    case $alt in \(* | *\) | '') continue ;; esac
    names+=("$alt")
  done
done
# Only runtime packages: no headers, no debugging symbols, none of the tools
# the tests and benchmarks use.
for n in "${names[@]}"; do
  case $n in
    *-dev | *-dbg | *-dbgsym) fault "development package in Depends: $n" ;;
    googletest | libgtest* | libgmock* | libbenchmark* | lame | flac | sox | ffmpeg | madplay | \
      mpg123 | vorbis-tools | xvfb | imagemagick* | hyperfine | clang* | cmake | build-essential)
      fault "test tool in Depends: $n" ;;
  esac
done
# What the programs link (found by dpkg-shlibdeps) and what they open by name.
# (Here-strings, not pipes: grep -q stops reading at the first match, and
# pipefail would count the writer's broken pipe as a failure.)
listed=$(printf '%s\n' "${names[@]}")
for want in libc6 libstdc++6 libqt6widgets6 libqt6webenginewidgets6 libpulse0 libcdio19 libcddb2 \
  libsoxr0 libx11-6 libmad0 libmp3lame0 libogg0 libvorbis0a libvorbisfile3 libvorbisenc2 libflac12 \
  libavutil57 libavcodec59 libavformat59; do
  grep -qx "$want" <<<"$listed" || fault "Depends lacks $want"
done

# The files.
dpkg-deb --contents "$deb" | awk '{ print $6 }' | sed 's#^\./#/#' >"$work/contents"
lib=/usr/lib/velmora
for f in /usr/bin/velmora /usr/bin/velmora-cli $lib/velmora $lib/velmora-cli $lib/libMACDll.so \
  $lib/libAudioPlayer.so $lib/libVelmoraLyric.so $lib/libvelmora_platform.so \
  $lib/libvelmora_soundserver.so $lib/libvelmora_engine.so $lib/libvelmora_wave.so \
  $lib/libvelmora_codecs.so $lib/libvelmora_devices.so $lib/external/CoolPlayer \
  $lib/external/help.htm $lib/external/lyc.htm $lib/external/velmora.png \
  /usr/share/applications/velmora.desktop /usr/share/metainfo/org.velmora.Velmora.metainfo.xml \
  /usr/share/icons/hicolor/scalable/apps/velmora.svg /usr/share/man/man1/velmora-cli.1.gz; do
  grep -qx "$f" "$work/contents" || fault "missing $f"
done
for s in 16 22 24 32 48 64 128 256; do
  grep -qx "/usr/share/icons/hicolor/${s}x${s}/apps/velmora.png" "$work/contents" ||
    fault "missing the ${s}x${s} icon"
done
if grep -E '(_test|Test|\.a|\.h)$|/include/' "$work/contents"; then
  fault "test programs, static libraries or headers in the package (above)"
fi

# The installed tree.
tree=$work/tree
dpkg-deb -x "$deb" "$tree"
for s in 16 22 24 32 48 64 128 256; do
  grep -q "PNG image data, $s x $s" <<<"$(file -b "$tree/usr/share/icons/hicolor/${s}x${s}/apps/velmora.png")" ||
    fault "the ${s}x${s} icon is not a $s by $s PNG"
done
echo "=== package: desktop-file-validate"
desktop-file-validate "$tree/usr/share/applications/velmora.desktop" || fault "desktop-file-validate"
echo "=== package: appstreamcli validate --no-net"
appstreamcli validate --no-net "$tree/usr/share/metainfo/org.velmora.Velmora.metainfo.xml" ||
  fault "appstreamcli validate"
echo "=== package: man -l"
man_page=$tree/usr/share/man/man1/velmora-cli.1.gz
if ! MANWIDTH=80 man -l "$man_page" >"$work/man.txt" 2>"$work/man.err" || [ -s "$work/man.err" ]; then
  cat "$work/man.err" >&2
  fault "man -l failed or warned"
fi
grep -Eq 'velmora-cli +convert +IN +OUT' "$work/man.txt" || fault "the manual page lacks the convert command"
if [ -n "$(zcat "$man_page" | groff -man -Tutf8 -ww -z 2>&1)" ]; then
  zcat "$man_page" | groff -man -Tutf8 -ww -z
  fault "groff warns about the manual page"
fi

# Every program and library finds its libraries through its run path.
while IFS= read -r -d '' f; do
  grep -q '^ELF' <<<"$(file -b "$f")" || continue
  if ldd "$f" 2>&1 | grep 'not found'; then fault "$f: libraries not found (above)"; fi
done < <(find "$tree/usr/lib/velmora" -type f -print0)

# Installed, the folder of the programs is not writable: Settings.ini is read
# from ~/.config/Velmora. A non-root user runs the tool (root may write
# anywhere); the saved MP3 bit rate shows in the converted file.
echo "=== package: velmora-cli from the package"
run=$work/run
home=$run/home
mkdir -p "$home/.config/Velmora"
printf '[Mp3]\nBitRate=64\n' >"$home/.config/Velmora/Settings.ini"
sox -n -r 44100 -c 2 -b 16 "$run/tone.wav" synth 1 sine 440 vol 0.5 2>/dev/null ||
  fault "sox could not make the test tone"
if [ "$(id -u)" = 0 ]; then
  chmod 755 "$work"
  chown -R 65534:65534 "$run"
  as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
else
  chmod -R a-w "$tree/usr/lib/velmora"
  as_user=()
fi
cli() { env -i HOME="$home" PATH=/usr/bin:/bin "${as_user[@]}" "$tree/usr/bin/velmora-cli" "$@"; }
cli --help 2>"$work/help" || fault "velmora-cli --help failed: $(cat "$work/help")"
grep -q '\.ape' "$work/help" || fault "velmora-cli --help lists no .ape type"
cli convert "$run/tone.wav" "$run/tone.ape" 2>/dev/null || fault "velmora-cli could not write APE (libMACDll.so)"
cli convert --settings "$run/tone.wav" "$run/tone.mp3" 2>/dev/null || fault "velmora-cli convert --settings failed"
info=$(cli info "$run/tone.mp3" 2>&1 || true)
grep -q 'bitrate=64' <<<"$info" || fault "the saved bit rate (64) was not used: $info"
[ ! -e "$tree/usr/lib/velmora/Settings.ini" ] || fault "Settings.ini was written into the program's folder"

# The window starts and makes the folder of its working files in
# ~/.local/share/Velmora (waiting for it at most 30 s), then is stopped.
echo "=== package: the window from the package"
mkdir -p "$run/runtime"
chmod 700 "$run/runtime"
[ "$(id -u)" != 0 ] || chown 65534:65534 "$run/runtime"
env -i HOME="$home" XDG_RUNTIME_DIR="$run/runtime" QT_QPA_PLATFORM=offscreen PATH=/usr/bin:/bin \
  "${as_user[@]}" "$tree/usr/bin/velmora" >"$work/window.log" 2>&1 &
window=$!
for _ in $(seq 300); do
  [ -d "$home/.local/share/Velmora" ] || ! kill -0 $window 2>/dev/null && break
  sleep 0.1
done
if kill -0 $window 2>/dev/null; then
  kill $window
  wait $window 2>/dev/null || true
else
  wait $window || true
  cat "$work/window.log" >&2
  fault "the window ended at once"
fi
[ -d "$home/.local/share/Velmora" ] || fault "the window made no ~/.local/share/Velmora"
[ "$(id -u)" = 0 ] || chmod -R u+w "$tree/usr/lib/velmora"

if [ $faults -gt 0 ]; then
  echo "check-package: $faults fault(s)" >&2
  exit 1
fi
echo "package checks passed"

#!/usr/bin/env bash
# scripts/check-layers.sh on a small tree of its own: the allowed includes
# pass, and each kind of offence is reported with its file and line.
set -euo pipefail
check=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/scripts/check-layers.sh
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
cd "$tree"
mkdir -p platform engine wave codecs/mac devices/player app/cli app/coolplayer

put() {  # file, lines...
  local f=$1; shift
  printf '%s\n' "$@" >"$f"
}
fail() {
  echo "FAILED: $*"
  exit 1
}

# Allowed: each layer including itself and every layer below it, the codec
# adapters the APE library's C interface, the window Qt, system headers
# anywhere.
put platform/Streams.h '#pragma once' '#include <string>' '#include "platform/Exceptions.h"'
put engine/Classes.h '#include "platform/Streams.h"' '#include "engine/Component.h"'
put wave/WaveIn.cpp '#include "wave/WaveIn.h"' '#include "engine/Classes.h"'
put codecs/Mac.cpp '#include "codecs/mac/ApeCApi.h"' '#include "wave/WaveIn.h"' \
  '#include <FLAC/stream_decoder.h>'
put codecs/mac/Writer.cpp '#include "codecs/mac/ApeCApi.h"' '#include "platform/DynamicLibrary.h"'
put devices/Mixer.cpp '#include "codecs/Codec.h"' '#include "platform/Mixer.h"'
put app/MainForm.cpp '#include <QWidget>' '#include <QtCore/QString>' '#include "devices/Mixer.h"'
put app/cli/main.cpp '#include "app/IniSettings.h"' '#include "devices/Mixer.h"'
put devices/Player.cpp '#include "devices/player/Api.h"'
put devices/player/Player.cpp '#include "codecs/Codec.h"' '#include "devices/player/Api.h"'
put app/coolplayer/Main.cpp '#include <QWidget>' '#include "devices/Player.h"'

out=$("$check" "$tree") || fail "a clean tree is refused: $out"
grep -q 'every include is allowed' <<<"$out" || fail "no verdict on a clean tree: $out"

# Offences: upward includes, the APE library reaching past platform, Qt below
# the window and in the command-line tool, a layer including the tests.
put engine/Audio.cpp '#include "engine/Classes.h"' '  #  include "wave/WaveIn.h"'
put platform/Card.h '#include <engine/Component.h>'
put codecs/mac/Reader.cpp '#include <cstdint>' '#include "engine/Classes.h"'
put wave/WaveOut.h '#include <QString>'
put app/cli/Info.cpp '#include <cstdio>' '#include <QtCore/QFile>'
put devices/Volumes.cpp '#include "app/MainForm.h"' '#include "tests/support/TestSupport.h"'
put devices/player/Source.cpp '#include "devices/Player.h"'
put app/coolplayer/Window.cpp '#include <QLabel>' '#include "app/MainForm.h"'

if out=$("$check" "$tree"); then
  fail "offences pass: $out"
fi
expected='app/cli/Info.cpp:2: includes the Qt header QtCore/QFile (Qt belongs to the window in app/)
app/coolplayer/Window.cpp:2: includes app/MainForm.h (app/coolplayer may include: platform engine wave codecs devices app/coolplayer)
codecs/mac/Reader.cpp:2: includes engine/Classes.h (codecs/mac may include: platform codecs/mac)
devices/Volumes.cpp:1: includes app/MainForm.h (devices may include: platform engine wave codecs devices)
devices/Volumes.cpp:2: includes tests/support/TestSupport.h (devices may include: platform engine wave codecs devices)
devices/player/Source.cpp:1: includes devices/Player.h (devices/player may include: platform engine wave codecs devices/player)
engine/Audio.cpp:2: includes wave/WaveIn.h (engine may include: platform engine)
platform/Card.h:1: includes engine/Component.h (platform may include: platform)
wave/WaveOut.h:1: includes the Qt header QString (Qt belongs to the window in app/)'
[ "$(sort <<<"$out")" = "$expected" ] || fail "reported:
$out
expected:
$expected"

# A missing layer folder is an error of its own, not a pass.
rm -rf devices
if "$check" "$tree" >/dev/null 2>&1; then
  fail "a tree without devices/ passes"
fi
echo "check-layers: all cases behave"

#!/usr/bin/env bash
# Checks the layering of the sources: each folder includes only its own
# headers and those of the layers below it,
#   platform -> engine -> wave -> codecs -> devices -> app
# the APE codec library (codecs/mac) only itself and platform, the player
# library (devices/player) itself and the layers below devices, the player
# window (app/coolplayer) itself and the layers up to devices, and Qt is
# included only by the windows (app/ and app/coolplayer/, not the
# command-line tool in app/cli/).
# tests/, bench/ and fuzz/ may include anything. Prints each offending include
# and exits 1 if there is one. Usage: scripts/check-layers.sh [SOURCE_ROOT]
set -euo pipefail
root=${1:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
cd "$root"

for l in platform engine wave codecs devices app; do
  [ -d "$l" ] || { echo "$root/$l: no such folder" >&2; exit 2; }
done

find platform engine wave codecs devices app -type f \( -name '*.cpp' -o -name '*.h' \) -print0 |
  sort -z | xargs -0 awk '
BEGIN {
  split("platform engine wave codecs devices app", Layers, " ")
  for (i = 1; i <= 6; i++) Rank[Layers[i]] = i
  Project = "^(platform|engine|wave|codecs|devices|app|tests|bench|fuzz)/"
  Bad = 0
}
FNR == 1 {
  # The folder whose rules apply to this file.
  Folder = FILENAME
  sub(/\/.*/, "", Folder)
  if (FILENAME ~ /^codecs\/mac\//) Folder = "codecs/mac"
  if (FILENAME ~ /^app\/cli\//) Folder = "app/cli"
  if (FILENAME ~ /^devices\/player\//) Folder = "devices/player"
  if (FILENAME ~ /^app\/coolplayer\//) Folder = "app/coolplayer"
  if (Folder == "codecs/mac") Allowed = "platform codecs/mac"
  else if (Folder == "devices/player") Allowed = "platform engine wave codecs devices/player"
  else if (Folder == "app/coolplayer") Allowed = "platform engine wave codecs devices app/coolplayer"
  else {
    Top = Folder == "app/cli" ? "app" : Folder
    Allowed = ""
    for (i = 1; i <= Rank[Top]; i++) Allowed = Allowed (i > 1 ? " " : "") Layers[i]
  }
  QtAllowed = Folder == "app" || Folder == "app/coolplayer"
}
/^[ \t]*#[ \t]*include[ \t]*[<"]/ {
  Target = $0
  sub(/^[ \t]*#[ \t]*include[ \t]*[<"]/, "", Target)
  sub(/[>"].*/, "", Target)
  if (Target ~ Project) {
    n = split(Allowed, A, " ")
    Ok = 0
    for (i = 1; i <= n; i++)
      if (index(Target, A[i] "/") == 1) Ok = 1
    if (!Ok) {
      printf "%s:%d: includes %s (%s may include: %s)\n", FILENAME, FNR, Target, Folder, Allowed
      Bad = 1
    }
  } else if (!QtAllowed && Target ~ /^Q[A-Za-z]*(\/|$)/) {
    printf "%s:%d: includes the Qt header %s (Qt belongs to the window in app/)\n", FILENAME, FNR, Target
    Bad = 1
  }
}
END {
  if (Bad) exit 1
  print "Layering: every include is allowed."
}'

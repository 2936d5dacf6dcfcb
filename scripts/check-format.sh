#!/usr/bin/env bash
# Checks that every tracked .cpp and .h file is formatted as the committed
# .clang-format says, with clang-format 14 (other versions format some
# constructs differently). Nothing is changed: the files that clang-format
# would change are printed, and the script exits 1 if there is one.
# VERBOSE=1 prints clang-format's own report of each offending line as well.
# To fix a file: clang-format-14 -i FILE
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

tool=${CLANG_FORMAT:-}
if [ -z "$tool" ]; then
  for t in clang-format-14 clang-format; do
    if command -v "$t" >/dev/null; then
      tool=$t
      break
    fi
  done
fi
if [ -z "$tool" ]; then
  echo "clang-format 14 is needed (scripts/install-deps.sh installs it)" >&2
  exit 2
fi
version=$("$tool" --version)
if ! [[ $version =~ version\ 14\. ]]; then
  echo "$tool is not clang-format 14: $version" >&2
  exit 2
fi

mapfile -d '' files < <(git ls-files -z -- '*.cpp' '*.h')
bad=()
for f in "${files[@]}"; do
  if ! report=$("$tool" --style=file --dry-run --Werror "$f" 2>&1); then
    bad+=("$f")
    [ "${VERBOSE:-0}" = 1 ] && printf '%s\n' "$report"
  fi
done

if [ ${#bad[@]} -gt 0 ]; then
  printf '%s\n' "${bad[@]}"
  echo "${#bad[@]} of ${#files[@]} files are not formatted as .clang-format says."
  exit 1
fi
echo "All ${#files[@]} files are formatted."

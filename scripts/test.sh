#!/usr/bin/env bash
# Installs what is needed, builds Velmora and runs every test: the plain build,
# then the suite again under AddressSanitizer + UndefinedBehaviorSanitizer, the
# engine tests under ThreadSanitizer, and a bounded run of each fuzz target;
# the plain build is also packaged (scripts/check-package.sh).
# VELMORA_QUICK=1 runs only the plain build's tests. Ends with a summary: each
# suite's passed, failed and skipped tests and its time, and why tests were
# skipped; the last line counts them all.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
jobs=$(nproc)

scripts/install-deps.sh

# shellcheck source=scripts/pulse.sh
source scripts/pulse.sh
pulse_start
trap pulse_stop EXIT

status=0
passed=0 failed=0 skipped=0
summary=()   # one line per suite
skip_notes=()  # "suite: test: reason" per skipped test
fail_notes=()  # "suite: test" per failed test
note_suite() {  # name, passed, failed, skipped, what else
  summary+=("$(printf '  %-28s %6s passed %6s failed %6s skipped   %s' "$@")")
  passed=$((passed + $2)) failed=$((failed + $3)) skipped=$((skipped + $4))
}

# Counts a suite's results from ctest's JUnit file and notes why tests were
# skipped (the message after gtest's "Skipped" line). A test that did not run
# for another reason (a missing program) counts as failed, as for ctest.
junit_counts() {  # junit file, suite name, file for failures; prints "passed failed skipped"
  awk -v suite="$2" -v failures="$3" '
    function plain(t) {
      gsub(/&lt;/, "<", t); gsub(/&gt;/, ">", t); gsub(/&quot;/, "\"", t); gsub(/&apos;/, "\047", t)
      gsub(/&amp;/, "\\&", t); return t
    }
    /<testcase / {
      name = $0; sub(/.*<testcase name="/, "", name); sub(/".*/, "", name)
      sub(/  # GetParam.*/, "", name); name = plain(name)
      st = $0; sub(/.*status="/, "", st); sub(/".*/, "", st)
      if (st == "run") p++; else if (st == "disabled") d++
      else if (st == "fail") { f++; print suite ": " name > failures }
      skipping = 0; reason = ""; want = 0
      next
    }
    st == "notrun" && /<skipped / {
      if (index($0, "SKIP_REGULAR_EXPRESSION_MATCHED")) { s++; skipping = 1 }
      else { f++; print suite ": " name " (did not run)" > failures }
      st = ""
    }
    skipping && want { reason = plain($0); want = 0 }
    skipping && /: Skipped$/ { want = 1 }
    /<\/testcase>/ {
      if (st == "notrun") { f++; print suite ": " name " (did not run)" > failures }
      if (skipping)
        print suite ": " name ": " (reason != "" ? reason : "(no reason given)") > "/dev/stderr"
      skipping = 0; st = ""
    }
    END { printf "%d %d %d\n", p, f, s + d }
  ' "$1"
}

# Line tables are all a failing test's trace needs; full debug information
# makes every object four times larger and the build a third slower, and lld
# links the many test programs in a fraction of the default linker's time.
fast_build=(
  "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG"
  "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG"
)
if command -v ld.lld >/dev/null; then
  for kind in EXE SHARED MODULE; do fast_build+=("-DCMAKE_${kind}_LINKER_FLAGS=-fuse-ld=lld"); done
fi

# The sanitizers find their faults as well at -O1, which compiles faster.
sanitizer_build=(
  "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG"
  "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG"
)

run_suite() {  # name, build dir, [-R regex], [-t "targets"], -- cmake args...
  local name=$1 dir=$2; shift 2
  local ctest_args=() cmake_args=() targets=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do
    case $1 in
      -t) read -r -a targets <<<"$2"; shift 2 ;;
      *) ctest_args+=("$1"); shift ;;
    esac
  done
  [ $# -gt 0 ] && shift
  cmake_args=("$@")
  local t0=$SECONDS
  echo "=== $name: build"
  local built=1
  if ! cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${fast_build[@]}" "${cmake_args[@]}" >/dev/null; then
    built=0
  elif [ ${#targets[@]} -gt 0 ]; then
    cmake --build "$dir" -j "$jobs" --target "${targets[@]}" || built=0
  else
    cmake --build "$dir" -j "$jobs" || built=0
  fi
  if [ $built = 0 ]; then
    status=1
    note_suite "$name" 0 1 0 "the build failed ($((SECONDS - t0)) s)"
    return
  fi
  local t1=$SECONDS
  echo "=== $name: tests"
  local junit="$root/$dir/test-results.xml"
  rm -f "$junit"
  if ! ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 300 \
      --output-junit "$junit" "${ctest_args[@]}"; then
    status=1
  fi
  local counts notes
  if [ -f "$junit" ]; then
    notes=$(mktemp) fails=$(mktemp)
    counts=$(junit_counts "$junit" "$name" "$fails" 2>"$notes")
    while IFS= read -r line; do skip_notes+=("$line"); done <"$notes"
    while IFS= read -r line; do fail_notes+=("$line"); done <"$fails"
    rm -f "$notes" "$fails"
  else
    status=1
    counts="0 1 0"
  fi
  # shellcheck disable=SC2086
  note_suite "$name" $counts "build $((t1 - t0)) s, tests $((SECONDS - t1)) s"
}

# Every tracked source as the committed .clang-format lays it out.
echo "=== format"
if scripts/check-format.sh; then
  note_suite "format" 1 0 0 "clang-format over every tracked source"
else
  status=1
  note_suite "format" 0 1 0 "the files listed above are not formatted"
fi

run_suite "plain" build-ci -- -DVELMORA_WERROR=ON
# The Debian package made from the plain build, its files, dependencies, menu
# entry, metainfo and manual page.
echo "=== package"
t0=$SECONDS
if scripts/check-package.sh build-ci; then
  note_suite "package" 1 0 0 "cpack -G DEB and its checks ($((SECONDS - t0)) s)"
else
  status=1
  note_suite "package" 0 1 0 "the faults are listed above ($((SECONDS - t0)) s)"
fi
if [ "${VELMORA_QUICK:-0}" != 1 ]; then
  # The APE round trips are a matrix of levels, sample sizes and channel
  # counts whose encoder runs slowly under the sanitizers: four of its sixteen
  # cases there, each level, size and channel count at least once.
  ape_matrix='^Matrix/ApeRoundTrip\.DecodesBitExactlyThroughFfmpegAndTheReader/'
  ape_matrix+='(Level1000_(8bit_.*|16bit_mono)|Level2000_(16bit_.*|8bit_stereo)|'
  ape_matrix+='Level3000_(8bit_.*|16bit_stereo)|Level4000_(16bit_.*|8bit_mono))'
  # The karaoke takes measure the voice where a song that starts with the
  # recording puts it; the sanitizers slow the song's start by seconds, and
  # the voice, rightly moved to meet the song, leaves the measured stretch.
  ape_matrix+='|^(RecordMixPulse|KaraokeCli)\.'
  # The WAV files past 4 GB take minutes of disk and encoding time and
  # exercise no more code than the small ones: the plain suite only.
  long_wav='^CliLongWav\.'
  # The tree of every type into every type spends its time in ffmpeg and
  # ffprobe; the batch and tag code it runs is run there by the other
  # batch and convert tests.
  long_wav+='|^CliBatch\.ATreeOfEveryType'
  # clang builds the instrumented tree in about two thirds of GCC's time.
  CC=clang CXX=clang++ run_suite "asan+ubsan" build-asan -E "($ape_matrix)|$long_wav" \
    -- -DVELMORA_ASAN=ON -DVELMORA_BENCH=OFF "${sanitizer_build[@]}"
  # The threaded parts: the engine, the WAV components, capture and playback,
  # the level meter, the two-input mixer, the MP3 decoder's own worker, the
  # wait for a job's end, CDDB lookups on several threads, and the player
  # library with its component.
  run_suite "tsan (threaded parts)" build-tsan \
    -R '^(Engine|JobCompletion|WaveIn|WaveOut|AudioIn|AudioOut|SoundCard|SoundIndicator|SoundLoopback|MP3ToWav|AudioMix|RealTimeMix|Cddb\.|PlayerBinding|PlayerLibrary|PlayerPulse)' \
    -t "engine_test wavein_test waveout_test audio_virtual_test soundcard_pulse_test indicator_test mp3decoder_test mixing_test cddb_test playerbinding_test playerlibrary_test player_pulse_test" \
    -- -DVELMORA_TSAN=ON -DVELMORA_BENCH=OFF -DVELMORA_GUI=OFF "${sanitizer_build[@]}"
  if compgen -G "fuzz/*_fuzz.cpp" >/dev/null; then
    echo "=== fuzz: build"
    fuzz_targets=()
    for src in fuzz/*_fuzz.cpp; do fuzz_targets+=("$(basename "$src" .cpp)"); done
    fuzz_built=()
    t0=$SECONDS
    if CC=clang CXX=clang++ cmake -S . -B build-fuzz "${fast_build[@]}" -DVELMORA_FUZZ=ON -DVELMORA_TESTS=OFF \
        -DVELMORA_BENCH=OFF -DVELMORA_GUI=OFF >/dev/null &&
      cmake --build build-fuzz -j "$jobs" --target "${fuzz_targets[@]}"; then
      fuzz_built=(build-fuzz/bin/*_fuzz)
    else
      status=1
      note_suite "fuzz" 0 1 0 "the build failed ($((SECONDS - t0)) s)"
    fi
    for f in "${fuzz_built[@]}"; do
      n=$(basename "$f" _fuzz)
      corpus=$(mktemp -d)
      [ -d "fuzz/corpus/$n" ] && cp -r "fuzz/corpus/$n/." "$corpus/"
      echo "=== fuzz: $n for ${VELMORA_FUZZ_SECONDS:-5} s"
      t0=$SECONDS
      if ! "$f" -max_total_time="${VELMORA_FUZZ_SECONDS:-5}" -max_len=65536 -rss_limit_mb=2048 \
        -print_final_stats=1 "$corpus" 2>"$corpus.log"; then
        tail -50 "$corpus.log"
        status=1
        note_suite "fuzz $n" 0 1 0 "$((SECONDS - t0)) s"
      else
        grep -E 'stat::number_of_executed_units' "$corpus.log" || true
        units=$(sed -n 's/^stat::number_of_executed_units: *//p' "$corpus.log" | tail -1)
        note_suite "fuzz $n" 1 0 0 "$((SECONDS - t0)) s, ${units:-?} inputs"
      fi
      rm -rf "$corpus" "$corpus.log"
    done
  fi
fi

echo "=== summary"
printf '%s\n' "${summary[@]}"
if [ ${#skip_notes[@]} -gt 0 ]; then
  echo "skipped tests:"
  printf '  %s\n' "${skip_notes[@]}"
fi
if [ ${#fail_notes[@]} -gt 0 ]; then
  echo "failed tests:"
  printf '  %s\n' "${fail_notes[@]}"
fi
[ $status -eq 0 ] && verdict="all suites passed" || verdict="some suites failed"
echo "=== $verdict: $passed passed, $failed failed, $skipped skipped"
exit $status

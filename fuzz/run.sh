#!/bin/sh
# Builds the fuzz targets with clang and runs each for SECONDS (default 600)
# on a working copy of its seed corpus; findings land in corpus-work/.
#   fuzz/run.sh [SECONDS] [TARGET...]
#     (default targets: fuzz_editor_text fuzz_speech_text fuzz_editor_input fuzz_lv2_dsp fuzz_lyric)
#   FUZZ_PARALLEL=1 runs the targets at once, one process each.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
seconds=${1:-600}
[ $# -gt 0 ] && shift
targets=${*:-fuzz_editor_text fuzz_speech_text fuzz_editor_input fuzz_lv2_dsp fuzz_lyric}
build="$here/build"
work="$here/corpus-work"

# clang-14 with its sanitizer and libFuzzer runtimes.
bash -c '. "$1/scripts/deps.sh" && glimm_need_packages clang-14 libclang-rt-14-dev' sh "$here/.." ||
  { echo "fuzz/run.sh: needs clang-14 and libclang-rt-14-dev" >&2; exit 2; }

cmake -S "$here" -B "$build" -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
cmake --build "$build" -j2 --target $targets

# System libraries keep a few allocations for the life of the process.
export LSAN_OPTIONS="suppressions=$here/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"

run_one() {
  t=$1
  # The spoken variant shares the text preparation's seeds.
  seeds=$t
  [ "$t" = fuzz_speech_synth ] && seeds=fuzz_speech_text
  mkdir -p "$work/$t" "$work/artifacts-$t"
  cp "$here/corpus/$seeds/"* "$work/$t/"
  echo "== $t for ${seconds}s (log: $work/$t.log)"
  if "$build/$t" -max_len=600 -max_total_time="$seconds" -print_final_stats=1 -dict="$here/text.dict" \
       -artifact_prefix="$work/artifacts-$t/" "$work/$t" >"$work/$t.log" 2>&1; then
    echo "== $t: no finding"
    grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$work/$t.log" || true
  else
    echo "== $t: FINDING, see $work/$t.log and $work/artifacts-$t/"
    grep -E 'invariant violated|ERROR:|SUMMARY:' "$work/$t.log" | head -5 || true
    return 1
  fi
}

status=0
if [ "${FUZZ_PARALLEL:-0}" = 1 ]; then
  pids=""
  for t in $targets; do
    run_one "$t" &
    pids="$pids $!"
  done
  for p in $pids; do
    wait "$p" || status=1
  done
else
  for t in $targets; do
    run_one "$t" || status=1
  done
fi
exit $status

#!/bin/sh
# Runs every benchmark and prints one table: figure, baseline measured in the
# same run, ratio, goal. Notes from each benchmark follow the table.
#   bench/run.sh [build dir]            (default: build)
# Environment:
#   GLIMM_BENCH_ARGS   passed to the editor benchmarks, e.g. "--runs 7" or "--quick"
#   QT_QPA_PLATFORM    xcb (default when xvfb-run is there: a private X server) or offscreen
set -u
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
bin=$build/bin
[ -x "$bin/bench_editor_open" ] || { echo "run.sh: no benchmarks in $bin; build first" >&2; exit 2; }
# The table is laid out by column(1).
command -v column >/dev/null 2>&1 ||
  bash -c '. "$1/scripts/deps.sh" && glimm_need_packages bsdextrautils' sh "$here/.." ||
  { echo "run.sh: column(1) is missing (Debian package bsdextrautils)" >&2; exit 2; }

if [ -z "${QT_QPA_PLATFORM:-}" ]; then
  if command -v xvfb-run >/dev/null 2>&1; then
    QT_QPA_PLATFORM=xcb exec xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" "$0" "$build"
  fi
  export QT_QPA_PLATFORM=offscreen
fi
export QT_LOGGING_RULES="qt.qpa.*=false"

rows=$(mktemp) notes=$(mktemp) log=$(mktemp)
trap 'rm -f "$rows" "$notes" "$log"' EXIT
status=0

run() {  # run <name> <command...>: keeps rows and notes, reports a failure
  name=$1
  shift
  echo "running $name ..." >&2
  if ! "$@" >"$log" 2>/dev/null; then
    echo "$name|failed (exit status $?)|-|-|-|-|MISSED" >>"$rows"
    status=1
  fi
  grep '^row|' "$log" | cut -d'|' -f2- >>"$rows"
  grep '^# ' "$log" | sed 's/^# //' >>"$notes"
}

# shellcheck disable=SC2086
for b in editor_open automation_storm idle memory lv2_ui_open lv2_run sing; do
  run "$b" "$bin/bench_$b" ${GLIMM_BENCH_ARGS:-}
done

# shellcheck disable=SC2086
[ -x "$bin/glimm-host" ] && run render "$here/render.sh" ${GLIMM_BENCH_ARGS:-} "$bin/glimm-host"

# The run-loop and speech benchmarks print sentences; their figures go into rows.
if [ -x "$bin/idle_runloop" ]; then
  secs=5
  case " ${GLIMM_BENCH_ARGS:-} " in *" --quick "*) secs=0.5 ;; esac
  "$bin/idle_runloop" "$secs" >"$log" 2>/dev/null
  rc=$?
  awk -v rc="$rc" '
    /^idle .*Qt wake-ups bare/ { n = split($0, w, " "); bare = w[6]; sub(",", "", bare); drv = w[10];
                                 secs = w[2]; r = $0; sub(/.*ratio /, "", r); sub(/\)/, "", r) }
    /^driver activations/      { act = $3; sub(",", "", act) }
    END { if (secs > 0)
            printf "idle_runloop|Qt wake-ups per s, run-loop driver on|%.2f|%.2f|%s|0 driver activations (%s)|%s\n",
                   drv / secs, bare / secs, r, act, (rc == 0 ? "met" : "MISSED") }' "$log" >>"$rows"
  [ "$rc" -eq 0 ] || status=1
fi
if [ -x "$bin/speech_unit_bench" ]; then
  if "$bin/speech_unit_bench" >"$log" 2>/dev/null; then
    awk '
      /^play -> first audible frame/ { ms = $7; ratio = $13 }
      /^synthesis:/                  { rt = $10 }
      /^render .* while synthesising/ { us = $7; x = $9; sub(/\(/, "", x); idle = $12 }
      END {
        printf "speech_unit|play to first audible frame (ms)|%s|one block|%s|-|-\n", ms, ratio
        printf "speech_unit|synthesis speed (x real time)|%s|-|-|-|-\n", rt
        printf "speech_unit|render while synthesising (us)|%s|%s|%s|-|-\n", us, idle, x }' "$log" >>"$rows"
  else
    echo "speech_unit|failed|-|-|-|-|MISSED" >>"$rows"
    status=1
  fi
fi

echo
{
  echo "benchmark|measure|figure|baseline|ratio|goal|result"
  echo "---------|-------|------|--------|-----|----|------"
  cat "$rows"
} | column -t -s'|'
echo
echo "Platform: $QT_QPA_PLATFORM. Baselines: the same panel built directly in Qt (editor_open, idle, memory),"
echo "the storm with no editor open (automation_storm CPU), Qt without the run-loop driver (idle_runloop),"
echo "the same panel built directly in Qt in a foreign X window (lv2_ui_open), the voice rendered directly (lv2_run)."
sed 's/^/  /' "$notes"
exit $status

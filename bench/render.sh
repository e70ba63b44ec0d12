#!/bin/sh
# glimm-host --render as a script uses it: the whole process, start-up
# included, against the length of the speech it writes (times real time) and
# against espeak-ng's own command line speaking the same text to a file in the
# same run. Start-up is the whole process for one word. Medians of 7.
#   render.sh [--quick] <glimm-host>
set -u
runs=7
[ "${1:-}" = --quick ] && runs=1 && shift
host=$1
text="Glimm reads this text aloud to measure how fast a whole render runs from start to finish, \
including loading the speech unit, starting the synthesis process and writing the file. The goal \
is one hundred times real time, with start-up under a tenth of a second, on a busy machine too."
tmp=$(mktemp -d) || exit 2
trap 'rm -rf "$tmp"' EXIT

# Seconds of wall time for a command, to the microsecond.
seconds() {
  t0=$(date +%s.%N)
  "$@" >/dev/null 2>&1 || return 1
  t1=$(date +%s.%N)
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.6f\n", b - a }'
}
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

for i in $(seq "$runs"); do seconds "$host" --text "$text" --render "$tmp/r.wav" || exit 1; done | median >"$tmp/render"
for i in $(seq "$runs"); do seconds "$host" --text "Hello" --render "$tmp/h.wav" || exit 1; done | median >"$tmp/start"
for i in $(seq "$runs"); do seconds espeak-ng -w "$tmp/e.wav" "$text" || exit 1; done | median >"$tmp/espeak"
audio=$(soxi -D "$tmp/r.wav")
awk -v r="$(cat "$tmp/render")" -v s="$(cat "$tmp/start")" -v e="$(cat "$tmp/espeak")" -v a="$audio" 'BEGIN {
  x = a / r
  printf "row|render|--render of %.1f s of speech, whole process (x real time)|%.0f|espeak-ng -w: %.0f x|%.2f|>= 100 x|%s\n",
         a, x, a / e, r / e, (x >= 100 ? "met" : "MISSED")
  printf "row|render|--render start-up, one word, whole process (ms)|%.0f|espeak-ng -w: %.0f ms (all)|%.2f|<= 100 ms|%s\n",
         s * 1000, e * 1000, s / e, (s <= 0.1 ? "met" : "MISSED")
}'

#!/bin/bash
# The plug-in in jalv (console) under a private JACK server with the dummy
# backend: a preset with a text, control values set through jalv's stdin, a
# note from another JACK client (midi_sender), and the plug-in's output
# captured to WAV.
#   jalv_console_test.sh LV2_DIR ANALYSE_PY MIDI_SENDER
set -euo pipefail
lv2dir=$1
analyse=$2
sender=$3
for tool in jackd jack_wait jack_lsp jack_capture jalv; do
  command -v "$tool" >/dev/null || { echo "jalv test: $tool is missing (Debian: jalv jackd2 jack-capture)" >&2; exit 1; }
done

who="jalv test"
. "$(dirname "$0")/hostlib.sh"

start_jack glimm-test

waitport() {  # waitport PORT: up to 10 s for a JACK port to appear
  for _ in $(seq 100); do
    jack_lsp 2>/dev/null | grep -qx "$1" && return 0
    sleep 0.1
  done
  fail "no JACK port $1"
}

# One run: the "Sung phrase" preset (its text, sing mode on), the given speed,
# a note every 4 s for `seconds`, the output captured to OUT.
run() {  # run NAME SPEED NOTE SECONDS OUT
  local name=$1 speed=$2 note=$3 seconds=$4 out=$5
  mkfifo "$tmp/$name.in"
  LV2_PATH="$lv2dir:/usr/lib/lv2" jalv -n "$name" urn:glimm:speech <"$tmp/$name.in" >"$tmp/$name.log" 2>&1 &
  local jalv_pid=$!
  pids+=("$jalv_pid")
  exec 3>"$tmp/$name.in"
  waitport "$name:out"
  waitport "$name:control"
  echo presets >&3  # jalv loads the presets before it can apply one
  echo "preset urn:glimm:speech#preset-singer" >&3
  # In sing mode the note, not the pitch control, sets the sung pitch; the
  # pitch set here must not change it.
  echo "set pitch 200" >&3
  echo "set speed $speed" >&3
  sleep 0.3
  jack_capture -as -b 16 -d "$seconds" -c 1 -p "$name:out" "$out" >"$tmp/$name-capture.log" 2>&1 &
  local capture_pid=$!
  pids+=("$capture_pid")
  timeout -k 5 60 "$sender" "$name-seq" "^$name:control\$" 10 192000 24000 $((seconds / 4)) "$note" \
    >"$tmp/$name-seq.out" 2>"$tmp/$name-seq.log" || fail "the MIDI sender failed"
  wait "$capture_pid" || fail "jack_capture failed"
  exec 3>&-  # closing jalv's stdin ends it
  for _ in $(seq 50); do kill -0 "$jalv_pid" 2>/dev/null || break; sleep 0.1; done
  wait "$jalv_pid" || fail "jalv ($name) exited with status $?"
  [ -s "$out" ] || fail "no capture from $name"
}

run fast 200 57 8 "$tmp/fast.wav"
run slow 20 57 8 "$tmp/slow.wav"
/usr/bin/python3 "$analyse" "$tmp/fast.wav" "$tmp/slow.wav" 220

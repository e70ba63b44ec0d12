#!/bin/bash
# glimm-host's MIDI input under a private JACK server with the dummy backend:
# --list-midi without and with a MIDI system, then --midi with jack_midiseq
# playing two notes a second into the port "Glimm" in sing mode, and the
# recorded WAV checked for a sung syllable after every note, at its pitch.
#   host_midi_test.sh GLIMM_HOST ANALYSE_PY
set -euo pipefail
host=$1
analyse=$2
for tool in jackd jack_wait jack_lsp jack_connect jack_midiseq; do
  command -v "$tool" >/dev/null || { echo "host MIDI test: $tool is missing (Debian: jackd2)" >&2; exit 1; }
done

who="host MIDI test"
. "$(dirname "$0")/../lv2hosts/hostlib.sh"

# No MIDI system yet: a clear message, not a failure and not library noise.
export JACK_DEFAULT_SERVER="glimm-midi-none-$$" JACK_NO_START_SERVER=1
"$host" --list-midi >"$tmp/list-none.out" 2>"$tmp/list-none.err" || fail "--list-midi failed without a MIDI system"
if [ ! -e /dev/snd/seq ]; then
  grep -q "No MIDI system is running" "$tmp/list-none.out" || fail "--list-midi said: $(cat "$tmp/list-none.out")"
  [ ! -s "$tmp/list-none.err" ] || fail "--list-midi printed to stderr: $(head -3 "$tmp/list-none.err")"
  "$host" --no-window --midi >"$tmp/midi-none.out" 2>&1 && fail "--midi succeeded without a MIDI system"
  grep -q "no MIDI system is running" "$tmp/midi-none.out" || fail "--midi said: $(cat "$tmp/midi-none.out")"
fi

# A client that misses its deadline on a loaded machine is dropped from the
# graph after jackd's timeout (500 ms): PortAudio's then waits for a process
# call that never comes (ten minutes), so this server waits 20 s instead.
export JACK_DEFAULT_SERVER="glimm-midi-$$"
jackd -n "$JACK_DEFAULT_SERVER" --no-realtime -t 20000 -d dummy -r 48000 -p 256 >"$tmp/jackd.log" 2>&1 &
pids+=($!)
jack_wait -w -t 10 >/dev/null 2>&1 || fail "the JACK server did not start"

waitport() {  # waitport PORT: up to 10 s for a JACK port to appear
  for _ in $(seq 100); do
    jack_lsp 2>/dev/null | grep -qx "$1" && return 0
    sleep 0.1
  done
  fail "no JACK port $1"
}

jack_midiseq lister 48000 0 60 100 >"$tmp/lister.log" 2>&1 &
lister_pid=$!
pids+=("$lister_pid")
waitport lister:out
"$host" --list-midi >"$tmp/list.out" 2>&1 || fail "--list-midi failed"
grep -q "^JACK: lister:out" "$tmp/list.out" || fail "--list-midi does not show lister:out: $(cat "$tmp/list.out")"
# jack_midiseq can hang in its SIGTERM handler; it keeps nothing.
kill -KILL "$lister_pid"
wait "$lister_pid" 2>/dev/null || true

# Sing mode: A3 at 0 s and E4 at 0.5 s of every second, each held 0.2 s.
"$host" --no-window --midi --text "la" --set sing=on --set speed=160 --wav "$tmp/sung.wav" >"$tmp/host.log" 2>&1 &
host_pid=$!
pids+=("$host_pid")
port=$(for _ in $(seq 100); do jack_lsp 2>/dev/null | grep -x 'Glimm[-0-9]*:Glimm' && break; sleep 0.1; done | head -1)
[ -n "$port" ] || fail "glimm-host opened no JACK MIDI port named Glimm"
grep -q "MIDI input: the JACK port Glimm" "$tmp/host.log" || fail "glimm-host did not say where its MIDI port is"
jack_midiseq seq 48000 0 57 9600 24000 64 9600 >"$tmp/seq.log" 2>&1 &
seq_pid=$!
pids+=("$seq_pid")
waitport seq:out
jack_connect seq:out "$port" || fail "cannot connect the sequencer to $port"
sleep 4.5
kill -TERM "$host_pid"
for _ in $(seq 100); do kill -0 "$host_pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$host_pid" 2>/dev/null; then
  command -v gdb >/dev/null && gdb -p "$host_pid" -batch -ex "thread apply all bt 12" >"$tmp/stuck.log" 2>&1
  fail "glimm-host did not end on SIGTERM"
fi
status=0
wait "$host_pid" || status=$?
# Only now: a client killed while the host is still connected keeps the
# server's graph waiting, and the host's JACK client with it. jack_midiseq
# can hang in its own SIGTERM handler; it keeps nothing.
kill -KILL "$seq_pid"
wait "$seq_pid" 2>/dev/null || true
[ "$status" = 143 ] || fail "glimm-host ended with status $status, not 143 (SIGTERM)"
[ -s "$tmp/sung.wav" ] || fail "no recording"
/usr/bin/python3 "$analyse" "$tmp/sung.wav" 0.5 220 329.63 || fail "the recording does not follow the notes"
# A server whose clients were killed may not end on SIGTERM: give it 5 s.
for p in "${pids[0]}"; do
  kill -TERM "$p" 2>/dev/null || true
  for _ in $(seq 50); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$p" 2>/dev/null || true
done
echo "host MIDI test: passed ($(grep -c . "$tmp/host.log") lines from glimm-host)"

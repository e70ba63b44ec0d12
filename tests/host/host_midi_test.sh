#!/bin/bash
# glimm-host's MIDI input under a private JACK server with the dummy backend:
# --list-midi without and with a MIDI system, then --midi in sing mode with a
# second program (midi_sender) playing notes into the port "Glimm", and the
# recorded WAV checked for a sung syllable on every note, at its pitch and
# its time.
#   host_midi_test.sh GLIMM_HOST MIDI_SENDER ANALYSE_PY
set -euo pipefail
host=$1
sender=$2
analyse=$3
for tool in jackd jack_wait; do
  command -v "$tool" >/dev/null || { echo "host MIDI test: $tool is missing (Debian: jackd2)" >&2; exit 1; }
done

who="host MIDI test"
. "$(dirname "$0")/../lv2hosts/hostlib.sh"
# Every JACK client here is bounded: a stalled server graph must fail the
# test, not hang it.
bounded() { timeout -k 5 "$@"; }

# No MIDI system yet: a clear message, not a failure and not library noise.
export JACK_DEFAULT_SERVER="glimm-midi-none-$$" JACK_NO_START_SERVER=1
bounded 30 "$host" --list-midi >"$tmp/list-none.out" 2>"$tmp/list-none.err" ||
  fail "--list-midi failed without a MIDI system"
if [ ! -e /dev/snd/seq ]; then
  grep -q "No MIDI system is running" "$tmp/list-none.out" || fail "--list-midi said: $(cat "$tmp/list-none.out")"
  [ ! -s "$tmp/list-none.err" ] || fail "--list-midi printed to stderr: $(head -3 "$tmp/list-none.err")"
  bounded 30 "$host" --no-window --midi >"$tmp/midi-none.out" 2>&1 && fail "--midi succeeded without a MIDI system"
  grep -q "no MIDI system is running" "$tmp/midi-none.out" || fail "--midi said: $(cat "$tmp/midi-none.out")"
fi

start_jack glimm-midi

# Sing mode: A3 and E4 in turn, a note every 24,100 frames (so notes fall at
# every place in a 256-frame block), each held 0.2 s. A run in which the
# server reports an xrun (a client missed its cycle on a loaded machine) says
# nothing about the host's timing: it is run again, up to five times.
play() {  # play ATTEMPT; 0 passed, 1 failed, 2 inconclusive (xruns)
  local a=$1 status=0 xruns_before
  xruns_before=$(grep -c 'XRun' "$tmp/jackd.log" || true)
  bounded 60 "$sender" glimm-sender 'Glimm[-0-9]*:Glimm$' 20 24100 9600 8 57 64 >"$tmp/sent$a.out" 2>"$tmp/sender.log" &
  local sender_pid=$!
  pids+=("$sender_pid")
  for _ in $(seq 100); do grep -q '^ready' "$tmp/sent$a.out" && break; sleep 0.1; done
  local source_port
  source_port=$(sed -n 's/^ready //p' "$tmp/sent$a.out")
  [ -n "$source_port" ] || fail "the MIDI sender did not start"
  if [ "$a" = 1 ]; then
    bounded 30 "$host" --list-midi >"$tmp/list.out" 2>&1 || fail "--list-midi failed"
    grep -qx "JACK: $source_port" "$tmp/list.out" || fail "--list-midi does not show $source_port: $(cat "$tmp/list.out")"
  fi

  rm -f "$tmp/sung.wav"
  "$host" --no-window --midi --text "la" --set sing=on --set speed=160 --wav "$tmp/sung.wav" >"$tmp/host.log" 2>&1 &
  local host_pid=$!
  pids+=("$host_pid")
  wait "$sender_pid" || status=$?
  [ "$status" = 0 ] || fail "the MIDI sender failed (status $status)"
  grep -q "^connected Glimm" "$tmp/sent$a.out" || fail "the sender did not reach glimm-host's port"
  grep -q "MIDI input: the JACK port Glimm" "$tmp/host.log" || fail "glimm-host did not say where its MIDI port is"
  sleep 0.5
  end_process "$host_pid" host || fail "glimm-host did not end on SIGTERM"
  status=0
  wait "$host_pid" || status=$?
  [ "$status" = 143 ] || fail "glimm-host ended with status $status, not 143 (SIGTERM)"
  [ -s "$tmp/sung.wav" ] || fail "no recording"
  /usr/bin/python3 "$analyse" "$tmp/sung.wav" "$tmp/sent$a.out" 48000 220 329.63 >"$tmp/analysis$a.log" 2>&1 && return 0
  [ "$(grep -c 'XRun' "$tmp/jackd.log" || true)" = "$xruns_before" ] && return 1
  return 2
}

for attempt in 1 2 3 4 5; do
  result=0
  play $attempt || result=$?
  [ $result = 0 ] && break
  [ $result = 1 ] && { cat "$tmp/analysis$attempt.log" >&2; fail "the recording does not follow the notes"; }
  echo "host MIDI test: attempt $attempt had xruns: $(grep -m1 FAIL "$tmp/analysis$attempt.log")"
done
[ $result = 0 ] || fail "every attempt had xruns; the machine is too loaded to judge the timing"
cat "$tmp/analysis$attempt.log"

# The server quits under a running host: it must end by itself, say why,
# and leave a whole recording, not hang (in PortAudio's stop) or go on mute.
"$host" --no-window --midi --text "la" --wav "$tmp/gone.wav" >"$tmp/gone.log" 2>&1 &
host_pid=$!
pids+=("$host_pid")
for _ in $(seq 100); do grep -q "MIDI input" "$tmp/gone.log" && break; sleep 0.1; done
sleep 0.5
end_process "$jackd_pid" jackd || fail "the JACK server did not end on SIGTERM"
for _ in $(seq 150); do kill -0 "$host_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$host_pid" 2>/dev/null && fail "glimm-host went on for 15 s after its JACK server quit"
status=0
wait "$host_pid" || status=$?
[ "$status" = 1 ] || fail "glimm-host ended with status $status after its JACK server quit, not 1"
grep -q "audio device has stopped" "$tmp/gone.log" || fail "glimm-host did not say why it ended: $(cat "$tmp/gone.log")"
/usr/bin/python3 - "$tmp/gone.wav" <<'PY' || fail "the recording made before the server quit is not whole"
import sys, wave
with wave.open(sys.argv[1]) as w:
    n = w.getnframes()
    assert n >= 0.4 * w.getframerate() and len(w.readframes(n)) == n * w.getnchannels() * w.getsampwidth()
PY
echo "host MIDI test: passed (attempt $attempt; the host ended by itself when its server quit)"

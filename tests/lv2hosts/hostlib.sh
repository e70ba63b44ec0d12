# Shared by the host tests: a scratch folder, the processes to end on exit,
# a failure that shows the logs, and a private JACK dummy server.
# Set `who` (the test's name in messages) before sourcing.
tmp=$(mktemp -d)
pids=()
jackd_pid=
# Ends a process: SIGTERM, up to SECONDS (10), then its stack to
# $tmp/stuck-NAME.log and SIGKILL. True when SIGTERM was enough.
end_process() {  # end_process PID NAME [SECONDS]
  kill -TERM "$1" 2>/dev/null || return 0
  for _ in $(seq $((${3:-10} * 10))); do kill -0 "$1" 2>/dev/null || return 0; sleep 0.1; done
  command -v gdb >/dev/null && timeout 30 gdb -p "$1" -batch -ex "thread apply all bt 12" >"$tmp/stuck-$2.log" 2>&1
  kill -KILL "$1" 2>/dev/null
  return 1
}
# Clients before the server (the last started first), none waited for
# without bound; a server that had to be killed leaves its semaphores in
# /dev/shm, and enough of those keep later servers from starting.
cleanup() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do end_process "${pids[i]}" "exit-$i" 5 || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  if [ -n "$jackd_pid" ] && [ -n "${JACK_DEFAULT_SERVER:-}" ]; then
    rm -f /dev/shm/jack_sem.*_"$JACK_DEFAULT_SERVER"_* 2>/dev/null || true
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() {
  echo "$who: $*" >&2
  for f in "$tmp"/*.log; do [ -s "$f" ] && { echo "--- $f" >&2; tail -25 "$f" >&2; }; done
  exit 1
}
start_jack() {  # start_jack NAME
  export JACK_DEFAULT_SERVER="$1-$$" JACK_NO_START_SERVER=1
  jackd -n "$JACK_DEFAULT_SERVER" --no-realtime -d dummy -r 48000 -p 256 >"$tmp/jackd.log" 2>&1 &
  jackd_pid=$!
  pids+=("$jackd_pid")
  jack_wait -w -t 10 >/dev/null 2>&1 || fail "the JACK server did not start"
}

# Headless Ardour (ardour7-lua, Dummy backend), for the Ardour tests: its
# configuration and caches in the scratch folder, and one step of a session
# script whose export is judged by its finished file, since this Ardour may
# abort while tearing an export down after the file is complete. A run that
# leaves no complete file is tried again, up to three times.
ardour_home() {
  command -v ardour7-lua >/dev/null || fail "ardour7-lua is missing (Debian: ardour)"
  export HOME="$tmp/home" XDG_CONFIG_HOME="$tmp/home/.config" XDG_CACHE_HOME="$tmp/home/.cache" \
    XDG_DATA_HOME="$tmp/home/.local/share"
  mkdir -p "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME" "$XDG_DATA_HOME" "$tmp/wav"
}
ardour_complete() {  # ardour_complete WAV: 8 s of audio
  /usr/bin/python3 - "$1" <<'EOF'
import sys, wave
try:
    with wave.open(sys.argv[1]) as w:
        sys.exit(0 if w.getnframes() >= 8 * w.getframerate() else 1)
except (OSError, EOFError, wave.Error):
    sys.exit(1)
EOF
}
ardour_step() {  # ardour_step SCRIPT SESSION create|reload: logs to $tmp/MODE.log, exports $tmp/wav/MODE.wav
  local script=$1 session=$2 mode=$3 attempt
  for attempt in 1 2 3; do
    [ "$mode" = create ] && rm -rf "$session"
    rm -f "$tmp/wav/$mode.wav"
    # stdbuf: Ardour's output is lost otherwise when it aborts.
    timeout 90 stdbuf -o0 -e0 ardour7-lua "$script" "$session" "$mode" "$tmp/wav" \
      >"$tmp/$mode.log" 2>&1 && grep -q "^finished $mode" "$tmp/$mode.log" && return 0
    if ardour_complete "$tmp/wav/$mode.wav" && grep -q "^value block" "$tmp/$mode.log"; then
      echo "$who: ardour7-lua ($mode) ended badly after a complete export (attempt $attempt)"
      return 0
    fi
    echo "$who: ardour7-lua ($mode) failed (attempt $attempt):"
    tail -5 "$tmp/$mode.log"
  done
  fail "ardour7-lua ($mode) failed three times"
}
ardour_value() {  # ardour_value MODE NAME
  sed -n "s/^value $2 //p" "$tmp/$1.log"
}

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

# Shared by the host tests: a scratch folder, the processes to end on exit,
# a failure that shows the logs, and a private JACK dummy server.
# Set `who` (the test's name in messages) before sourcing.
tmp=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
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
  pids+=($!)
  jack_wait -w -t 10 >/dev/null 2>&1 || fail "the JACK server did not start"
}

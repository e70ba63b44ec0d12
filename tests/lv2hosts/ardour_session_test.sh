#!/bin/bash
# Glimm in a headless Ardour session (ardour7-lua, Dummy backend): a MIDI
# track with Glimm, a preset with its text, a parameter, a region with notes,
# saved and exported; then the session reloaded by a new process and exported
# again. Both exports must hold the sung words, alike. An export renders
# faster than real time while the voice synthesises beside it on its own
# thread; Ardour free-wheels meanwhile, and the plug-in then waits for its
# voice, so each word must start exactly one block after its note.
#   ardour_session_test.sh LV2_DIR SCRIPT_DIR
set -euo pipefail
lv2dir=$1
here=$2
command -v ardour7-lua >/dev/null || { echo "ardour test: ardour7-lua is missing (Debian: ardour)" >&2; exit 1; }

who="ardour test"
. "$here/hostlib.sh"

# Ardour writes its configuration and caches under the user's folders.
export HOME="$tmp/home" XDG_CONFIG_HOME="$tmp/home/.config" XDG_CACHE_HOME="$tmp/home/.cache" \
  XDG_DATA_HOME="$tmp/home/.local/share"
mkdir -p "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME" "$XDG_DATA_HOME"
export LV2_PATH="$lv2dir:/usr/lib/lv2"
session="$tmp/session"
mkdir -p "$tmp/wav"

# The export is judged by its finished file: this Ardour may abort while
# tearing an export down, after the file is complete. A run that leaves no
# complete file is tried again, up to three times.
complete() {  # complete WAV: 8 s of audio
  /usr/bin/python3 - "$1" <<'EOF'
import sys, wave
try:
    with wave.open(sys.argv[1]) as w:
        sys.exit(0 if w.getnframes() >= 8 * w.getframerate() else 1)
except (OSError, EOFError, wave.Error):
    sys.exit(1)
EOF
}
step() {  # step create|reload
  local mode=$1 attempt
  for attempt in 1 2 3; do
    [ "$mode" = create ] && rm -rf "$session"
    rm -f "$tmp/wav/$mode.wav"
    # stdbuf: Ardour's output is lost otherwise when it aborts.
    timeout 90 stdbuf -o0 -e0 ardour7-lua "$here/ardour_session.lua" "$session" "$mode" "$tmp/wav" \
      >"$tmp/$mode.log" 2>&1 && grep -q "^finished $mode" "$tmp/$mode.log" && return 0
    if complete "$tmp/wav/$mode.wav" && grep -q "^value regions" "$tmp/$mode.log"; then
      echo "ardour test: ardour7-lua ($mode) ended badly after a complete export (attempt $attempt)"
      return 0
    fi
    echo "ardour test: ardour7-lua ($mode) failed (attempt $attempt):"
    tail -5 "$tmp/$mode.log"
  done
  fail "ardour7-lua ($mode) failed three times"
}
value() {  # value MODE NAME
  sed -n "s/^value $2 //p" "$tmp/$1.log"
}

step create
step reload
for mode in create reload; do
  [ "$(value $mode speed)" = 70 ] || fail "$mode: speed is '$(value $mode speed)', not 70"
  [ "$(value $mode sing_mode)" = 1 ] || fail "$mode: sing mode is '$(value $mode sing_mode)', not on"
  [ "$(value $mode regions)" = 1 ] || fail "$mode: $(value $mode regions) regions on the track"
done
# The text lives only in the plug-in's own state: without it restored, the
# reloaded session would be silent (a new instance has no text).
grep -rqs "Glimm sings la la la" "$session/plugins" || fail "the saved plug-in state holds no text"
# A word is due one host block after its note (the plug-in's latency).
block=$(value create block)
[[ "$block" =~ ^[0-9]+$ ]] || fail "no block size from ardour7-lua"
latency=$(/usr/bin/python3 -c "print($block / 48000)")
/usr/bin/python3 "$here/analyse_export.py" "$tmp/wav/create.wav" "$tmp/wav/reload.wav" 220 "$latency" 0 4 \
  || fail "the exports do not hold the sung words, each on time"

#!/bin/bash
# The plug-in's editor in jalv.gtk3 on the X server this test was given, with
# openbox as the window manager and a private JACK dummy server: the panel
# shows inside jalv's window with a control the host set, a click and typing
# reach the DSP (it announces the new text), Return speaks, and closing the
# window ends jalv with status 0.
#   jalv_gtk_test.sh LV2_DIR PANELCHECK
set -euo pipefail
lv2dir=$1
panelcheck=$2
for tool in jackd jack_wait jack_lsp jack_capture jalv.gtk3 openbox xdotool xwininfo import sox; do
  command -v "$tool" >/dev/null ||
    { echo "jalv.gtk3 test: $tool is missing (Debian: jalv jackd2 jack-capture openbox xdotool x11-utils imagemagick sox)" >&2; exit 1; }
done
[ -n "${DISPLAY:-}" ] || { echo "jalv.gtk3 test: needs an X server (run under xvfb-run)" >&2; exit 1; }

who="jalv.gtk3 test"
. "$(dirname "$0")/hostlib.sh"

openbox >"$tmp/openbox.log" 2>&1 &
pids+=($!)
start_jack glimm-gtk

LV2_PATH="$lv2dir:/usr/lib/lv2" stdbuf -o0 jalv.gtk3 -d -n glimmgtk -c pitch=40 urn:glimm:speech \
  >"$tmp/jalv.log" 2>&1 &
jalv=$!
pids+=("$jalv")

# The panel: the innermost 440x320 window on the screen, once jalv shows it.
panel=""
for _ in $(seq 100); do
  panel=$(xwininfo -root -tree 2>/dev/null | grep -E ' 440x320\+' | tail -1 || true)
  [ -n "$panel" ] && xdotool search --pid "$jalv" >/dev/null 2>&1 && break
  sleep 0.1
done
[ -n "$panel" ] || fail "no 440x320 panel appeared"
sleep 1  # let the first paint and the control values arrive
# Where the panel is now, not where it was first seen: the UI's window may
# still have been on its way into jalv's then.
wid=$(echo "$panel" | awk '{print $1}')
px=$(xwininfo -id "$wid" | sed -n 's/^ *Absolute upper-left X: *//p')
py=$(xwininfo -id "$wid" | sed -n 's/^ *Absolute upper-left Y: *//p')
[ -n "$px" ] && [ -n "$py" ] || fail "the panel window $wid went away"
import -window root "$tmp/shot.png"
# pitch 40 puts the handle well left of the middle (128 would sit at about 160).
"$panelcheck" "$tmp/shot.png" "$px" "$py" 145 || fail "the panel in jalv's window is not right"

# Click into the text field, replace a new instance's default text, and wait
# for the DSP's announcement.
xdotool mousemove $((px + 200)) $((py + 80)) click 1
sleep 0.3
xdotool key ctrl+a
xdotool type --delay 60 "hello there"
announced=0
for _ in $(seq 50); do
  if awk '/^## Plugin => UI/ { p = 1; next } /^## / { p = 0 } p && /"hello there"/ { found = 1 } END { exit !found }' \
       "$tmp/jalv.log"; then
    announced=1
    break
  fi
  sleep 0.1
done
[ "$announced" = 1 ] || fail "typing did not reach the DSP (no announcement of the new text)"

# Return speaks: the output carries sound within the next seconds.
jack_capture -as -b 16 -d 3 -c 1 -p glimmgtk:out "$tmp/spoken.wav" >"$tmp/capture.log" 2>&1 &
capture=$!
pids+=("$capture")
sleep 0.3
xdotool key Return
wait "$capture" || fail "jack_capture failed"
peak=$(sox "$tmp/spoken.wav" -n stat 2>&1 | awk '/Maximum amplitude/ { print $3 }')
awk -v p="$peak" 'BEGIN { exit !(p > 0.05) }' || fail "Return did not speak (peak $peak)"

# Closing the window the window manager's way ends jalv cleanly.
window=$(xdotool search --pid "$jalv" --name Glimm | head -1)
[ -n "$window" ] || fail "no window titled Glimm"
xdotool windowactivate --sync "$window" key --clearmodifiers alt+F4 || true
status=0
for _ in $(seq 50); do kill -0 "$jalv" 2>/dev/null || break; sleep 0.1; done
kill -0 "$jalv" 2>/dev/null && fail "jalv.gtk3 is still running after its window was closed"
wait "$jalv" || status=$?
[ "$status" = 0 ] || fail "jalv.gtk3 exited with status $status"
echo "jalv.gtk3: panel at $px,$py, text announced, speech peak $peak, closed with status 0"

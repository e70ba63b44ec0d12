#!/bin/bash
# Glimm in a headless Ardour session (ardour7-lua, Dummy backend): a MIDI
# track with Glimm, a preset with its text, a parameter, a region with notes,
# saved and exported; then the session reloaded by a new process and exported
# again. Both exports must hold the sung words, alike. An export renders
# faster than real time while the voice synthesises beside it on its own
# thread; Ardour free-wheels meanwhile, and the plug-in then waits for its
# voice, so each word starts exactly one block after its note, which is the
# latency the plug-in reports and Ardour compensates: on its note.
#   ardour_session_test.sh LV2_DIR SCRIPT_DIR
set -euo pipefail
lv2dir=$1
here=$2

who="ardour test"
. "$here/hostlib.sh"

ardour_home
export LV2_PATH="$lv2dir:/usr/lib/lv2"
session="$tmp/session"
step() { ardour_step "$here/ardour_session.lua" "$session" "$1"; }
value() { ardour_value "$@"; }

step create
step reload
for mode in create reload; do
  [ "$(value $mode speed)" = 70 ] || fail "$mode: speed is '$(value $mode speed)', not 70"
  [ "$(value $mode sing_mode)" = 1 ] || fail "$mode: sing mode is '$(value $mode sing_mode)', not on"
  [ "$(value $mode regions)" = 1 ] || fail "$mode: $(value $mode regions) regions on the track"
done
# The text lives only in the plug-in's own state: without it restored, the
# reloaded session would sing a new instance's default text instead.
grep -rqs "Glimm sings la la la" "$session/plugins" || fail "the saved plug-in state holds no text"
# A word is due one host block after its note, the latency Ardour takes back.
/usr/bin/python3 "$here/analyse_export.py" "$tmp/wav/create.wav" "$tmp/wav/reload.wav" 220 0 0 4 \
  || fail "the exports do not hold the sung words, each on time"

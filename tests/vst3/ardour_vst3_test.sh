#!/bin/bash
# Glimm's VST3 in a headless Ardour session (ardour7-lua, Dummy backend): a
# MIDI track with it, sing mode and speed set, a region with two notes, saved
# and exported; then reloaded by a new process and exported again. Both
# exports must sing a word on each note: Ardour compensates the latency the
# plug-in reports, so each word starts on its note. The saved session holds
# the plug-in's state, its text in it.
#   ardour_vst3_test.sh BUNDLE HERE HOSTLIB_DIR
set -euo pipefail
bundle=$1
here=$2
hostlib=$3

who="ardour vst3 test"
. "$hostlib/hostlib.sh"

ardour_home
mkdir -p "$HOME/.vst3"
ln -s "$bundle" "$HOME/.vst3/Glimm.vst3"
# Ardour creates only what its scanner has put in its cache.
LD_LIBRARY_PATH=/usr/lib/ardour7 timeout 60 /usr/lib/ardour7/ardour-vst3-scanner -f "$HOME/.vst3/Glimm.vst3" \
  >"$tmp/scan.log" 2>&1 || fail "the VST3 scanner failed"
grep -q "Found Plugin: Glimm" "$tmp/scan.log" || fail "the VST3 scanner did not find Glimm"

session="$tmp/session"
ardour_step "$here/ardour_vst3_session.lua" "$session" create
ardour_step "$here/ardour_vst3_session.lua" "$session" reload
for mode in create reload; do
  [ "$(ardour_value $mode speed)" = 70 ] || fail "$mode: speed is '$(ardour_value $mode speed)', not 70"
  [ "$(ardour_value $mode sing_mode)" = 1 ] || fail "$mode: sing mode is '$(ardour_value $mode sing_mode)', not on"
done
# The state as Ardour keeps it: a base64 chunk in the session file.
/usr/bin/python3 - "$session/glimm.ardour" <<'PY' || fail "the saved session holds no Glimm state with its text"
import base64, re, sys
chunks = re.findall(r"<chunk>([A-Za-z0-9+/=]+)</chunk>", open(sys.argv[1]).read())
sys.exit(0 if any(b"GLMS" in base64.b64decode(c) and b"Hello, I am Glimm." in base64.b64decode(c) for c in chunks) else 1)
PY
/usr/bin/python3 "$hostlib/analyse_export.py" "$tmp/wav/create.wav" "$tmp/wav/reload.wav" 220 0 0 4 \
  || fail "the exports do not hold the sung words, each on its note"

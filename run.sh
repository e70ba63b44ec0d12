#!/usr/bin/env bash
# Installs what is missing, builds, and starts glimm-host with the speech unit.
# Without a display it runs the host once on Qt's offscreen platform instead,
# writing out/glimm-panel.png and out/hello.wav, and says where they are.
# Arguments are passed on to glimm-host.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/deps.sh
# The host brings the speech unit and the editor bundle with it; the tests
# and benchmarks are test.sh's.
glimm_build_default glimm-host

host=build/bin/glimm-host
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec "$host" "$@"
fi

mkdir -p out
echo "No display: running glimm-host offscreen once."
QT_QPA_PLATFORM=offscreen "$host" \
  --text "Hello! I am Glimm, a speech synthesizer with an old home computer's face." \
  --speak --quit-after-speech \
  --screenshot out/glimm-panel.png --wav out/hello.wav "$@" \
  2> >(grep -v -e 'does not support setParent' -e 'does not support propagateSizeHints' \
               -e 'XDG_RUNTIME_DIR not set' >&2)
echo "Wrote $(pwd)/out/glimm-panel.png (the editor panel) and $(pwd)/out/hello.wav (what it said)."
echo "To see and use the window, run it on a display: build/bin/glimm-host, or xvfb-run -a build/bin/glimm-host ..."

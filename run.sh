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
# Qt wants a runtime folder; without a session there is none, so this run
# (and only this run) gets a private one.
runtime="${XDG_RUNTIME_DIR:-}"
if [ -z "$runtime" ]; then
  runtime=$(mktemp -d)
  trap 'rm -rf "$runtime"' EXIT
fi
XDG_RUNTIME_DIR="$runtime" QT_QPA_PLATFORM=offscreen "$host" \
  --text "Hello! I am Glimm, a speech synthesizer with an old home computer's face." \
  --speak --quit-after-speech \
  --screenshot out/glimm-panel.png --wav out/hello.wav "$@"
echo "Wrote $(pwd)/out/glimm-panel.png (the editor panel) and $(pwd)/out/hello.wav (what it said)."
echo "To see and use the window, run it on a display: build/bin/glimm-host, or xvfb-run -a build/bin/glimm-host ..."

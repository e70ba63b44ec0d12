#!/usr/bin/env bash
# Regenerates docs/glimm-panel.png, the README's picture, from a built tree.
# Usage: scripts/make-screenshot.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
# From the defaults, and without touching the user's last-run state.
config=$(mktemp -d)
trap 'rm -rf "$config"' EXIT
XDG_CONFIG_HOME="$config" QT_QPA_PLATFORM=offscreen "${1:-build}"/bin/glimm-host --fresh --text "hello world" --set pitch=60 \
  --screenshot docs/glimm-panel.png --quit-after-speech --speak 2>/dev/null
echo "wrote docs/glimm-panel.png"

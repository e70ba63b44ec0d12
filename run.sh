#!/usr/bin/env bash
# Installs what is missing, builds, and starts the host with the speech unit.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/deps.sh
glimm_install_deps

cmake --preset default
cmake --build --preset default
echo "Built into build/bin:"
ls build/bin

#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
#   ./test.sh            default build (RelWithDebInfo), then the sanitizer build
#   GLIMM_ASAN=0 ./test.sh   skip the sanitizer build
set -euo pipefail
cd "$(dirname "$0")"
. scripts/deps.sh
glimm_build_default
scripts/check-format.sh
ctest --preset default

if [ "${GLIMM_ASAN:-1}" != 0 ]; then
  cmake --preset asan
  cmake --build --preset asan
  ctest --preset asan
fi

#!/usr/bin/env bash
# Fails when a C++ source the repository tracks is not in the .clang-format
# style; prints the files and how to fix them.
set -euo pipefail
cd "$(dirname "$0")/.."
formatter=${CLANG_FORMAT:-clang-format}
if ! command -v "$formatter" >/dev/null; then
  echo "check-format: $formatter not found (Debian package clang-format)" >&2
  exit 1
fi
mapfile -t files < <(git ls-files '*.cpp' '*.h')
bad=()
for f in "${files[@]}"; do
  "$formatter" --dry-run --Werror "$f" >/dev/null 2>&1 || bad+=("$f")
done
if [ ${#bad[@]} -gt 0 ]; then
  echo "check-format: ${#bad[@]} file(s) not formatted:" >&2
  printf '  %s\n' "${bad[@]}" >&2
  echo "Fix with: $formatter -i ${bad[*]}" >&2
  exit 1
fi
echo "check-format: ${#files[@]} files formatted"

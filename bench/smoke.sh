#!/bin/sh
# A benchmark in its tiny mode must exit 0 and print its table row.
#   smoke.sh <benchmark> <row name>
out=$("$1" --quick) || { printf '%s\n' "$out"; exit 1; }
printf '%s\n' "$out"
printf '%s\n' "$out" | grep -q "^row|$2|"

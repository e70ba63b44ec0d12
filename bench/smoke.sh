#!/bin/sh
# A benchmark in its tiny mode must exit 0 and print its table row.
#   smoke.sh <benchmark> <row name> [argument...]
bench=$1 name=$2
shift 2
out=$("$bench" --quick "$@") || { printf '%s\n' "$out"; exit 1; }
printf '%s\n' "$out"
printf '%s\n' "$out" | grep -q "^row|$name|"

#!/bin/sh
# Runs one torture command twice: both runs must pass and reach the same
# summary (its counts and the event log's hash; the time taken aside).
#   repeat.sh <torture> <arguments...>
set -u
first=$("$@") || { printf '%s\n' "$first"; exit 1; }
second=$("$@") || { printf '%s\n' "$second"; exit 1; }
a=$(printf '%s\n' "$first" | grep '^passed:' | sed 's/ in [0-9.]* s:/:/')
b=$(printf '%s\n' "$second" | grep '^passed:' | sed 's/ in [0-9.]* s:/:/')
printf '%s\n%s\n' "$a" "$b"
[ -n "$a" ] && [ "$a" = "$b" ] || { echo "repeat.sh: the two runs of one seed differ" >&2; exit 1; }

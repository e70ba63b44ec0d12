#!/bin/bash
# glimm-host's --voice and --list-voices as a user runs them.
#   host_voice_test.sh GLIMM_HOST
set -euo pipefail
host=$1
who="host voice test"
. "$(dirname "$0")/../lv2hosts/hostlib.sh"

"$host" --list-voices >"$tmp/voices.out" 2>"$tmp/voices.log" || fail "--list-voices failed"
head -1 "$tmp/voices.out" | grep -q "^NAME  *LANGUAGES  *DESCRIPTION" || fail "--list-voices has no heading"
grep -Eq "^de +de +German$" "$tmp/voices.out" || fail "--list-voices does not list German"
grep -Eq "^cmn-latn-pinyin +cmn-latn-pinyin zh-cmn zh +Chinese \(Mandarin, latin as Pinyin\)$" "$tmp/voices.out" ||
  fail "--list-voices does not list the pinyin voice"
[ "$(wc -l <"$tmp/voices.out")" -gt 50 ] || fail "--list-voices lists too few voices"

# Russian text is heard in Russian (--render exits 4 when nothing is heard).
"$host" --render "$tmp/ru.wav" --voice ru --text "Доброе утро" >"$tmp/ru.log" 2>&1 || fail "--voice ru did not speak"
"$host" --render "$tmp/de.wav" --voice German --text "Guten Morgen" >"$tmp/de.log" 2>&1 || fail "--voice German did not speak"
"$host" --render "$tmp/en.wav" --text "Guten Morgen" >"$tmp/en.log" 2>&1 || fail "the default voice did not speak"
cmp -s "$tmp/de.wav" "$tmp/en.wav" && fail "--voice German changed nothing"

status=0
"$host" --render "$tmp/x.wav" --voice elvish --text hi >"$tmp/elvish.out" 2>&1 || status=$?
[ "$status" = 2 ] || fail "--voice elvish ended with status $status, not 2"
grep -q 'the unit has no voice "elvish"; glimm-host --list-voices lists them' "$tmp/elvish.out" ||
  fail "--voice elvish said: $(cat "$tmp/elvish.out")"
[ ! -e "$tmp/x.wav" ] || fail "--voice elvish still rendered"
echo "host voice test: passed"

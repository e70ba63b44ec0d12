#!/bin/sh
# Usage: manpage_test.sh GLIMM_HOST MANUAL_PAGE
# The manual page and `glimm-host --help` describe the same options and exit
# statuses, and the page names the version the host reports: an option added
# to the host without a word in the manual fails here.
set -eu

host=$1 page=$2

fail() {
  echo "manual page test: FAIL: $*" >&2
  exit 1
}

help=$("$host" --help) || fail "glimm-host --help failed"
rendered=$(MANWIDTH=200 man --warnings -l "$page" 2>&1 | col -b) || fail "man -l $page failed"
warnings=$(MANWIDTH=200 man --warnings -l "$page" 2>&1 >/dev/null) || true
[ -z "$warnings" ] || fail "man reports problems: $warnings"
lexgrog "$page" | grep -q '"glimm-host - ' || fail "lexgrog finds no name line"

# The text of one section of the rendered page, up to the next heading.
section() { printf '%s\n' "$rendered" | awk -v want="$1" '/^[A-Z]/ { on = ($0 == want); next } on'; }

# Options: the help lists them indented, each first on its line; the page
# as its paragraph tags (indented by 7, text after them or on the next line).
help_options=$(printf '%s\n' "$help" | sed -n 's/^  *\(--[a-z][a-z0-9-]*\).*/\1/p' | LC_ALL=C sort -u)
page_options=$(section OPTIONS | sed -n 's/^       \(--[a-z][a-z0-9-]*\)\([ ,].*\)\{0,1\}$/\1/p' | LC_ALL=C sort -u)
[ -n "$help_options" ] || fail "found no options in glimm-host --help"
missing=$(printf '%s\n' "$help_options" | grep -vxF -e "$page_options" || true)
[ -z "$missing" ] || fail "options in glimm-host --help but not in OPTIONS of the manual page: $(echo $missing)"
stale=$(printf '%s\n' "$page_options" | grep -vxF -e "$help_options" || true)
[ -z "$stale" ] || fail "options in the manual page that glimm-host --help does not know: $(echo $stale)"

# Exit statuses: the help's "Exit status:" list against EXIT STATUS.
help_codes=$(printf '%s\n' "$help" | awk '/^Exit status:/ { on = 1; next } on && /^  *[0-9]+ / { print $1 }' | sort -n)
page_codes=$(section "EXIT STATUS" | sed -n 's/^       \([0-9][0-9]*\)\( .*\)\{0,1\}$/\1/p' | sort -n)
[ -n "$help_codes" ] || fail "found no exit statuses in glimm-host --help"
[ "$help_codes" = "$page_codes" ] ||
  fail "exit statuses differ: --help has $(echo $help_codes), the manual page $(echo $page_codes)"

version=$("$host" --version | sed -n 's/^glimm-host //p')
printf '%s\n' "$rendered" | tail -n 1 | grep -q "Glimm $version" ||
  fail "the manual page's footer does not name version $version"

echo "manual page test: OK ($(echo $help_options | wc -w) options, $(echo $help_codes | wc -w) exit statuses)"

# Sourced by the install and package tests after they set `here` and `name`:
# fail() says what went wrong under the test's name, and $tmp is a scratch
# folder removed however the test ends.
fail() {
  echo "$name: FAIL: $*" >&2
  exit 1
}

tmp=$(mktemp -d "${TMPDIR:-/tmp}/glimm-${name%% *}.XXXXXX") || fail "cannot make a scratch directory"
trap 'rm -rf "$tmp"' EXIT INT TERM

#!/bin/sh
# Checks the built bundle with the system's LV2 tools.
#   check_bundle.sh validate|lv2ls|exports LV2_DIR
#   check_bundle.sh install LV2_DIR CMAKE BUILD_DIR LIBDIR
set -u
mode=$1 dir=$2 bundle=$2/glimm.lv2
fail() { echo "FAIL: $*" >&2; exit 1; }
[ -f "$bundle/manifest.ttl" ] || fail "no bundle at $bundle"

case $mode in
  validate)
    # lv2_validate adds the installed LV2 vocabularies itself.
    out=$(lv2_validate "$bundle"/*.ttl 2>&1); rc=$?
    printf '%s\n' "$out"
    [ $rc -eq 0 ] || fail "lv2_validate exited $rc"
    printf '%s\n' "$out" | grep -q '^Found 0 errors' || fail "lv2_validate reported errors"
    ;;
  lv2ls)
    out=$(LV2_PATH=$dir lv2ls 2>"${TMPDIR:-/tmp}/lv2ls.$$.err"); rc=$?
    err=$(cat "${TMPDIR:-/tmp}/lv2ls.$$.err"); rm -f "${TMPDIR:-/tmp}/lv2ls.$$.err"
    [ $rc -eq 0 ] || fail "lv2ls exited $rc: $err"
    [ "$out" = "urn:glimm:speech" ] || fail "lv2ls listed: $out"
    [ -z "$err" ] || fail "lv2ls complained: $err"
    ;;
  exports)
    so=$bundle/glimm_dsp.so
    syms=$(nm -D --defined-only "$so" | awk '{ print $3 }') || fail "nm cannot read $so"
    [ "$syms" = "lv2_descriptor" ] || fail "exports other than lv2_descriptor: $syms"
    needed=$(readelf -d "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    printf '%s\n' "$needed" | grep -Eq 'Qt|libX|xcb|glimm-platform' && fail "links what synthesis does not need: $needed"
    ;;
  install)
    cmake=$3 build=$4 libdir=$5
    tmp=$(mktemp -d "${TMPDIR:-/tmp}/glimm-lv2-install.XXXXXX") || fail "cannot make a scratch directory"
    trap 'rm -rf "$tmp"' EXIT INT TERM
    "$cmake" --install "$build" --prefix "$tmp/prefix" >"$tmp/log" 2>&1 || { cat "$tmp/log" >&2; fail "install failed"; }
    installed=$tmp/prefix/$libdir/lv2/glimm.lv2
    want=$(cd "$bundle" && ls | LC_ALL=C sort)
    got=$(cd "$installed" 2>/dev/null && ls | LC_ALL=C sort)
    [ "$got" = "$want" ] || fail "installed bundle holds [$got], built one [$want]"
    out=$(LV2_PATH=$tmp/prefix/$libdir/lv2 lv2ls 2>&1)
    [ "$out" = "urn:glimm:speech" ] || fail "lv2ls on the installed tree: $out"
    readelf -d "$installed/glimm_dsp.so" | grep -Eq 'R(UN)?PATH' && fail "the installed module carries a run path"
    deps=$(env -i PATH=/usr/bin:/bin ldd "$installed/glimm_dsp.so" 2>&1) || fail "ldd failed: $deps"
    printf '%s\n' "$deps" | grep -q 'not found' && fail "unresolved libraries: $deps"
    ;;
  *) fail "unknown check $mode" ;;
esac
echo "ok: $mode"

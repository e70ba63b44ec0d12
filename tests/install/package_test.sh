#!/bin/sh
# Usage: package_test.sh CPACK CMAKE BUILD_DIR SOURCE_DIR LIBDIR
# Builds the Debian package, checks its control data and content against
# `cmake --install`, lints it, unpacks it into a scratch root and runs what is
# in there with nothing from the build or source tree: the host renders
# speech and the LV2 tools find the plug-in.
set -eu

cpack=$1 cmake=$2 build=$3 source=$4 libdir=$5
here=$(cd "$(dirname "$0")" && pwd)

name="package test"
. "$here/scratch.sh"

"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1 || {
  cat "$tmp/cpack.log" >&2
  fail "cpack -G DEB failed"
}
set -- "$tmp"/out/glimm_*.deb
[ $# -eq 1 ] && [ -f "$1" ] || fail "cpack made no single glimm_*.deb: $*"
deb=$1
echo "built $(basename "$deb")"

# Control data: the name, the section, and Depends filled by dpkg-shlibdeps
# with what the binaries link (the voice, the GUI toolkit, the audio output).
info=$(dpkg-deb --info "$deb") || fail "dpkg-deb --info cannot read the package"
field() { printf '%s\n' "$info" | sed -n "s/^ $1: //p"; }
[ "$(field Package)" = glimm ] || fail "Package is '$(field Package)'"
[ "$(field Section)" = sound ] || fail "Section is '$(field Section)'"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture is '$(field Architecture)'"
depends=$(field Depends)
for lib in libc6 libespeak-ng1 libqt6widgets6 libportaudio2 libsndfile1 libsoxr0; do
  printf '%s\n' "$depends" | grep -Eq "(^|, )$lib( |,|$)" || fail "Depends lacks $lib: $depends"
done
printf '%s\n' "$info" | grep -q '^ Description: .' || fail "no description"

# Content: what `cmake --install` puts down (its own test checks that set),
# under /usr and nothing else.
"$cmake" --install "$build" --prefix "$tmp/ref/usr" >"$tmp/install.log" 2>&1 || {
  cat "$tmp/install.log" >&2
  fail "cmake --install failed"
}
want=$(cd "$tmp/ref" && find . ! -type d | LC_ALL=C sort)
got=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | LC_ALL=C sort)
[ "$got" = "$want" ] || {
  printf 'cmake --install:\n%s\npackage:\n%s\n' "$want" "$got" >&2
  fail "the package does not hold what cmake --install puts down"
}

# No errors from lintian. Its warnings are printed for the log.
lintian --fail-on error "$deb" >"$tmp/lintian.log" 2>&1 || {
  cat "$tmp/lintian.log" >&2
  fail "lintian found errors"
}
grep -v '^running with root' "$tmp/lintian.log" || true

root=$tmp/root
dpkg-deb -x "$deb" "$root" || fail "dpkg-deb -x failed"

# Nothing unpacked leans on the build or source tree, and every library it
# needs resolves, ours inside the unpacked tree.
build_real=$(cd "$build" && pwd -P)
source_real=$(cd "$source" && pwd -P)
root_real=$(cd "$root" && pwd -P)
elves=$(find "$root" -type f -exec sh -c 'head -c 4 "$1" | grep -q "ELF" && echo "$1"' _ {} \;)
[ -n "$elves" ] || fail "no binaries in the package"
for f in $elves; do
  for s in "$build" "$build_real" "$source" "$source_real"; do
    if strings -a "$f" | grep -qF "$s/"; then
      fail "$f names the build or source tree ($s)"
    fi
  done
  deps=$(env -i PATH=/usr/bin:/bin ldd "$f" 2>&1) || fail "ldd $f failed: $deps"
  printf '%s\n' "$deps" | grep -q 'not found' && fail "$f has unresolved libraries: $deps"
  printf '%s\n' "$deps" | awk '/libglimm/ { print $3 }' | while read -r path; do
    case $(readlink -f "$path") in
      "$root_real"/*) ;;
      *) fail "$f loads $path from outside the unpacked package" ;;
    esac
  done
done

# The unpacked host renders speech with no environment but PATH and HOME.
wav=$tmp/render.wav
status=0
env -i PATH=/usr/bin:/bin HOME="$tmp" timeout -k 5 60 "$root/usr/bin/glimm-host" --no-window \
  --render "$wav" --text "Glimm is installed" >"$tmp/host.log" 2>&1 || status=$?
[ "$status" -eq 0 ] || {
  cat "$tmp/host.log" >&2
  fail "the unpacked glimm-host --render exited with status $status"
}
python3 "$here/has_speech.py" "$wav" || fail "the unpacked glimm-host rendered no speech"

# LV2 hosts find the plug-in in the unpacked lib/lv2, and only it.
lv2=$root/usr/$libdir/lv2
out=$(env -i PATH=/usr/bin:/bin LV2_PATH="$lv2" lv2ls 2>&1) || fail "lv2ls failed: $out"
[ "$out" = "urn:glimm:speech" ] || fail "lv2ls with LV2_PATH=$lv2 listed: $out"

# The CLAP and VST3 bundles where hosts look, each speaking from where it
# was unpacked (its synthesis process found beside it), through the build's
# own test hosts.
clap=$root/usr/$libdir/clap/Glimm.clap
vst3=$root/usr/$libdir/vst3/Glimm.vst3
[ -f "$clap" ] || fail "no $libdir/clap/Glimm.clap in the package"
[ -f "$vst3/Contents/x86_64-linux/Glimm.so" ] || fail "no $libdir/vst3/Glimm.vst3/Contents/x86_64-linux/Glimm.so in the package"
GLIMM_CLAP_MODULE=$clap QT_QPA_PLATFORM=offscreen "$build/bin/tst_clap" freshInstanceSpeaksOnItsNote >"$tmp/clap.log" 2>&1 || {
  cat "$tmp/clap.log" >&2
  fail "the unpacked Glimm.clap did not speak on a note"
}
GLIMM_VST3_BUNDLE=$vst3 QT_QPA_PLATFORM=offscreen "$build/bin/tst_vst3" noteSpeaksOneLatencyLater >"$tmp/vst3.log" 2>&1 || {
  cat "$tmp/vst3.log" >&2
  fail "the unpacked Glimm.vst3 did not speak on a note"
}

# The desktop entry, the metainfo and the manual page as packaged.
desktop-file-validate "$root/usr/share/applications/glimm-host.desktop" || fail "desktop-file-validate complained"
grep -qx 'Exec=glimm-host' "$root/usr/share/applications/glimm-host.desktop" || fail "the desktop entry does not run glimm-host"
# validate-tree also checks that the metainfo's launchable desktop entry is there.
appstreamcli validate-tree --no-net "$root" >"$tmp/appstream.log" 2>&1 || {
  cat "$tmp/appstream.log" >&2
  fail "appstreamcli validate-tree failed on the unpacked package"
}
page=$root/usr/share/man/man1/glimm-host.1.gz
lexgrog "$page" | grep -q 'glimm-host - ' || fail "lexgrog finds no name line in the manual page"
MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null | grep . && fail "man reports problems with the manual page"

echo "package test: OK"

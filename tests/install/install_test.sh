#!/bin/sh
# Usage: install_test.sh CMAKE BUILD_DIR SOURCE_DIR BINDIR LIBDIR DATADIR MANDIR
# Installs the build into a scratch prefix and checks that what lands there
# is exactly the host and its private folder, that nothing in it points back
# at the build or source tree, and that the installed host speaks on its own.
set -eu

cmake=$1 build=$2 source=$3 bindir=$4 libdir=$5 datadir=$6 mandir=$7
private=$libdir/glimm
here=$(cd "$(dirname "$0")" && pwd)

name="install test"
. "$here/scratch.sh"
prefix=$tmp/prefix

"$cmake" --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1 || {
  cat "$tmp/install.log" >&2
  fail "cmake --install $build --prefix $prefix failed"
}

# Exactly these, and no test program, benchmark, archive or header beside them.
binaries="$bindir/glimm-host
$private/AUGlimm3CocoaUI.so
$private/GlimmSpeechUnit.so
$private/glimm-synthesis
$private/libglimm-platform-qt.so
$private/libglimm-platform.so"
icons=$datadir/icons/hicolor
expected="$binaries
$datadir/applications/glimm-host.desktop
$datadir/metainfo/org.example.glimm.Glimm.metainfo.xml
$icons/48x48/apps/glimm-host.png
$icons/64x64/apps/glimm-host.png
$icons/128x128/apps/glimm-host.png
$icons/256x256/apps/glimm-host.png
$icons/scalable/apps/glimm-host.svg
$mandir/man1/glimm-host.1.gz
$datadir/doc/glimm/copyright
$datadir/doc/glimm/changelog.gz"
# The LV2 bundle's content has its own test (tests/lv2, lv2_install); here
# only that it is the one thing in $libdir/lv2. The CLAP and VST3 bundles
# are checked below.
actual=$(cd "$prefix" && find . ! -type d ! -path "./$libdir/lv2/glimm.lv2/*" ! -path "./$libdir/clap/*" \
  ! -path "./$libdir/vst3/*" | sed 's|^\./||' | LC_ALL=C sort)
expected=$(printf '%s\n' "$expected" | LC_ALL=C sort)
if [ "$actual" != "$expected" ]; then
  printf 'expected:\n%s\ninstalled:\n%s\n' "$expected" "$actual" >&2
  fail "the installed tree is not the expected set of files"
fi
[ "$(ls "$prefix/$libdir/lv2")" = glimm.lv2 ] || fail "$libdir/lv2 holds more than glimm.lv2: $(ls "$prefix/$libdir/lv2")"
# Each plug-in bundle: the module, the panel module it loads and the
# synthesis process it starts, side by side.
for dir in "$libdir/clap:Glimm.clap" "$libdir/vst3/Glimm.vst3/Contents/x86_64-linux:Glimm.so"; do
  folder=${dir%%:*} module=${dir#*:}
  got=$(cd "$prefix" && find "$libdir/${folder#"$libdir/"}" ! -type d | LC_ALL=C sort | tr '\n' ' ')
  want="$folder/$module $folder/GlimmPanel.so $folder/glimm-synthesis "
  want=$(printf '%s\n' $want | LC_ALL=C sort | tr '\n' ' ')
  [ "$got" = "$want" ] || fail "$folder holds: $got (expected $want)"
done
[ "$(cd "$prefix/$libdir/vst3" && find . | LC_ALL=C sort | tr '\n' ' ')" = \
  ". ./Glimm.vst3 ./Glimm.vst3/Contents ./Glimm.vst3/Contents/x86_64-linux ./Glimm.vst3/Contents/x86_64-linux/Glimm.so ./Glimm.vst3/Contents/x86_64-linux/GlimmPanel.so ./Glimm.vst3/Contents/x86_64-linux/glimm-synthesis " ] ||
  fail "$libdir/vst3 is not the one bundle Glimm.vst3"

# Nothing installed may lean on the build or source tree through its RUNPATH.
# Both are compared resolved, as the dynamic linker would see them.
build_real=$(cd "$build" && pwd -P)
source_real=$(cd "$source" && pwd -P)
for f in $binaries; do
  dyn=$(readelf -d "$prefix/$f") || fail "readelf cannot read $f"
  paths=$(printf '%s\n' "$dyn" | sed -n 's/.*(\(RPATH\|RUNPATH\)).*\[\(.*\)\]/\1 \2/p')
  case $paths in
    *"$build"* | *"$build_real"*) fail "$f has a run path into the build tree: $paths" ;;
    *"$source"* | *"$source_real"*) fail "$f has a run path into the source tree: $paths" ;;
  esac
  case $paths in
    RPATH*) fail "$f carries DT_RPATH, which would override LD_LIBRARY_PATH: $paths" ;;
  esac
done
for f in $bindir/glimm-host $private/GlimmSpeechUnit.so $private/AUGlimm3CocoaUI.so $private/libglimm-platform-qt.so; do
  readelf -d "$prefix/$f" | grep -q 'RUNPATH.*\[\$ORIGIN' || fail "$f has no \$ORIGIN-relative RUNPATH"
done

# Every library the host and its modules need resolves, ours inside the prefix.
prefix_real=$(cd "$prefix" && pwd -P)
for f in $binaries; do
  deps=$(env -i PATH=/usr/bin:/bin ldd "$prefix/$f" 2>&1) || fail "ldd $f failed: $deps"
  if printf '%s\n' "$deps" | grep -q 'not found'; then
    printf '%s\n' "$deps" >&2
    fail "$f has unresolved libraries"
  fi
  ours=$(printf '%s\n' "$deps" | awk '/libglimm-platform/ { print $1, $3 }')
  # espeak-ng runs in the synthesis process alone, which needs nothing of ours.
  case $f in
    */glimm-synthesis)
      printf '%s\n' "$deps" | grep -q libespeak-ng || fail "$f does not link espeak-ng" ;;
    *)
      printf '%s\n' "$deps" | grep -q libespeak-ng && fail "$f links espeak-ng" ;;
  esac
  case $f in
    */libglimm-platform.so | */glimm-synthesis) ;;
    *) [ -n "$ours" ] || fail "$f does not link libglimm-platform" ;;
  esac
  while read -r name path; do
    [ -n "$name" ] || continue
    [ "$(readlink -f "$path")" = "$prefix_real/$private/$name" ] ||
      fail "$f resolves $name to $path, not to $prefix/$private/$name"
  done <<LIBS
$ours
LIBS
done

# The installed host, found by nothing but its own location: no build
# environment, no library path, the unit found without --unit. Bounded, so a
# hang fails here (and cleans up) rather than at the CTest timeout.
wav=$tmp/hi.wav
status=0
env -i PATH=/usr/bin:/bin HOME="$tmp" timeout -k 5 60 "$prefix/$bindir/glimm-host" \
  --no-window --text hi --speak --wav "$wav" --quit-after-speech >"$tmp/host.log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
  cat "$tmp/host.log" >&2
  [ "$status" -eq 124 ] && fail "the installed glimm-host did not finish within 60 s"
  fail "the installed glimm-host exited with status $status"
fi
[ -s "$wav" ] || fail "the installed glimm-host wrote no WAV file"

python3 "$here/has_speech.py" "$wav" || fail "the WAV the installed host wrote holds no speech"
# The editor too, on Qt's offscreen platform: the installed unit must name the
# installed bundle, and the bundle load with its own run path.
shot=$tmp/panel.png
status=0
env -i PATH=/usr/bin:/bin HOME="$tmp" QT_QPA_PLATFORM=offscreen timeout -k 5 60 "$prefix/$bindir/glimm-host" \
  --text hi --speak --screenshot "$shot" --quit-after-speech >"$tmp/editor.log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
  cat "$tmp/editor.log" >&2
  [ "$status" -eq 124 ] && fail "the installed glimm-host with its editor did not finish within 60 s"
  fail "the installed glimm-host with its editor exited with status $status"
fi
python3 - "$shot" <<'PY' || fail "the installed glimm-host saved no picture of its editor"
import struct, sys
with open(sys.argv[1], "rb") as f:
    head = f.read(24)
if head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
    sys.exit("not a PNG file")
width, height = struct.unpack(">II", head[16:24])
print(f"editor picture {width}x{height}")
if width < 100 or height < 100:
    sys.exit("too small to be the panel")
PY

# A unit beside the host comes first, broken or not: the lookup must not
# quietly pass over it to the installed one.
beside=$prefix/$bindir/GlimmSpeechUnit.so
: >"$beside"
status=0
env -i PATH=/usr/bin:/bin HOME="$tmp" timeout -k 5 60 "$prefix/$bindir/glimm-host" \
  --no-window --text hi --speak --quit-after-speech >"$tmp/beside.log" 2>&1 ||
  status=$?
grep -q "cannot load the unit module $beside" "$tmp/beside.log" && [ "$status" -eq 1 ] || {
  cat "$tmp/beside.log" >&2
  fail "the installed glimm-host did not take the unit beside it first (status $status)"
}

echo "install test: OK"

#!/usr/bin/env bash
# Installs the build at a fresh prefix and runs the installed programs from another folder:
# they must find libhidlink through their run path and their data beside them (the installed
# English texts are changed here, so texts from anywhere else would show).
set -euo pipefail
build=$1
python=$2
work=$(mktemp -d /tmp/vireo-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix="$work/some where/opt"
cmake --install "$build" --prefix "$prefix" >/dev/null

lang=$(find "$prefix/share/vireometer/lang/en" -name lang.ini)
"$python" - "$lang" <<'PY'
import sys
path = sys.argv[1]
text = open(path, "rb").read().decode("utf-16-le")
lines = ["71=Installed texts" if line.startswith("71=") else line for line in text.split("\r\n")]
open(path, "wb").write("\r\n".join(lines).encode("utf-16-le"))
PY

mkdir "$work/elsewhere"
cd "$work/elsewhere"
unset VIREOMETER_DATA_DIR VIREOMETER_UPDATE_URL LD_LIBRARY_PATH
fail() { echo "FAIL: $*" >&2; exit 1; }

[ -f "$prefix/include/hidlink/hidlink.h" ] || fail "hidlink.h not installed"
pc=$(find "$prefix" -name hidlink.pc)
[ -n "$pc" ] || fail "hidlink.pc not installed"
included=$(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --variable=includedir hidlink)
included=${included//\\ / }  # pkg-config escapes the spaces of its own folder
[ -f "$included/hidlink/hidlink.h" ] || fail "pkg-config's includedir $included has no hidlink/hidlink.h"
for program in vireometer-cli vireometer-sim; do
  readelf -d "$prefix/bin/$program" | grep -q 'RUNPATH.*\$ORIGIN/\.\./lib' || fail "$program has no relative run path"
done

out=$("$prefix/bin/vireometer-cli" check-update 2>/dev/null) || true
[ "$out" = "Installed texts" ] || fail "vireometer-cli showed '$out', not the installed texts"
"$prefix/bin/vireometer-sim" --help >/dev/null || fail "vireometer-sim does not start"
if [ -x "$prefix/bin/vireometer" ]; then
  QT_QPA_PLATFORM=offscreen "$prefix/bin/vireometer" --help >/dev/null || fail "vireometer does not start"
fi
for file in share/applications/org.vireometer.VireoMeter.desktop share/metainfo/org.vireometer.VireoMeter.metainfo.xml \
  share/mime/packages/vireometer.xml share/icons/hicolor/scalable/apps/vireometer.svg \
  share/icons/hicolor/48x48/apps/vireometer.png share/man/man1/vireometer-cli.1.gz share/man/man1/vireometer-sim.1.gz \
  share/doc/vireometer/copyright share/doc/vireometer/changelog.gz share/doc/vireometer/README.md \
  share/doc/libhidlink1/copyright share/doc/libhidlink-dev/copyright \
  lib/udev/rules.d/70-vireometer.rules share/vireometer/skin/skin.dat; do
  [ -f "$prefix/$file" ] || fail "$file not installed"
done
echo "installed at '$prefix' and ran from another folder"

#!/usr/bin/env bash
# Makes the Debian packages vireometer (programs and data), libhidlink1 (the shared library) and
# libhidlink-dev (header, link, pkg-config file): a Release build with Debian's hardening flags
# in a fresh folder (FOLDER, default build-package), installed to /usr by CPack. Then every ELF
# file of the packages is checked (full RELRO, stack protector, no run path) and lintian must
# find neither errors nor warnings. Progress goes to standard error; the packages' paths are
# the last three lines.
#
#   scripts/package.sh [FOLDER]
#
# tests/packaging/fresh_install.sh installs the packages on a fresh Debian 12 and starts them.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build-package}")
fail() { echo "package.sh: $*" >&2; exit 1; }
for tool in dpkg-buildflags dpkg-shlibdeps lintian; do
  command -v $tool >/dev/null || fail "$tool is missing: apt-get install dpkg-dev lintian"
done
rm -rf "$out"

# Debian's flags with every hardening feature (-D_FORTIFY_SOURCE=2, -fstack-protector-strong,
# -Wl,-z,relro,-z,now, ...). CMake takes CFLAGS, CXXFLAGS and LDFLAGS but not CPPFLAGS.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
eval "$(dpkg-buildflags --export=sh)"
export CFLAGS="$CPPFLAGS $CFLAGS" CXXFLAGS="$CPPFLAGS $CXXFLAGS"

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
{
  cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DBUILD_TESTING=OFF -DVIREO_BENCH=OFF "${launcher[@]}"
  cmake --build "$out" -j "${JOBS:-2}"
  (cd "$out" && cpack -G DEB)
} >&2

python3 - "$out/compile_commands.json" <<'PY' || fail "files compiled without the hardening flags"
import json, sys
flags = ("-D_FORTIFY_SOURCE=2", "-fstack-protector-strong")
bare = [c["file"] for c in json.load(open(sys.argv[1])) if not all(f in c["command"] for f in flags)]
for file in bare:
    print(f"compiled without {' and '.join(flags)}: {file}", file=sys.stderr)
sys.exit(1 if bare else 0)
PY

debs=()
for name in vireometer libhidlink1 libhidlink-dev; do
  deb=$(find "$out" -maxdepth 1 -name "${name}_*.deb")
  [ -f "$deb" ] || fail "CPack made no $name package"
  debs+=("$deb")
done
# CPack gives a package that holds a shared library maintainer scripts that call ldconfig;
# Debian has the ldconfig trigger do that, so the library package is made again without them.
tree=$(mktemp -d)
dpkg-deb -R "${debs[1]}" "$tree"
rm -f "$tree/DEBIAN/postinst" "$tree/DEBIAN/postrm"
dpkg-deb --root-owner-group -b "$tree" "${debs[1]}" >&2
rm -rf "$tree"

echo "== ELF files" >&2
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$unpacked"; done
elves=0
while IFS= read -r -d '' file; do
  [ "$(head -c 4 "$file" | od -An -tx1 | tr -d ' ')" = 7f454c46 ] || continue
  elves=$((elves + 1))
  name=${file#"$unpacked"}
  dynamic=$(readelf -d "$file")
  grep -Eq '\((RUNPATH|RPATH)\)' <<<"$dynamic" && fail "$name has a run path"
  grep -Eq 'BIND_NOW|FLAGS.*\bNOW\b' <<<"$dynamic" || fail "$name is not linked with -z now"
  grep -q GNU_RELRO <<<"$(readelf -lW "$file")" || fail "$name is not linked with -z relro"
  grep -q __stack_chk_fail <<<"$(readelf --dyn-syms -W "$file")" || fail "$name has no stack protector"
  echo "$name: full RELRO, stack protector, no run path" >&2
done < <(find "$unpacked" -type f -print0)
[ "$elves" -ge 4 ] || fail "only $elves ELF files in the packages"

echo "== lintian" >&2
lintian --info --fail-on error,warning "${debs[@]}" >&2 || fail "lintian found errors or warnings"
printf '%s\n' "${debs[@]}"

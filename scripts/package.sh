#!/usr/bin/env bash
# Makes the Debian package: a Release build in a fresh folder (FOLDER, default build-package),
# installed to /usr by CPack as vireometer_VERSION_ARCH.deb, then checked with lintian when it
# is there (errors fail). Progress goes to standard error; the last line is the .deb's path.
#
#   scripts/package.sh [FOLDER]
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build-package}")
rm -rf "$out"

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
{
  cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DBUILD_TESTING=OFF -DVIREO_BENCH=OFF "${launcher[@]}"
  cmake --build "$out" -j "${JOBS:-2}"
  (cd "$out" && cpack -G DEB)
} >&2

debs=("$out"/vireometer_*.deb)
[ -f "${debs[0]}" ] || { echo "package.sh: CPack made no .deb" >&2; exit 1; }
if command -v lintian >/dev/null; then
  echo "== lintian" >&2
  lintian --info "${debs[0]}" >&2 || { echo "package.sh: lintian found errors" >&2; exit 1; }
fi
echo "${debs[0]}"

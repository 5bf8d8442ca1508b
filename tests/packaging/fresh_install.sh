#!/usr/bin/env bash
# Installs the three packages on a fresh, minimal Debian 12 and starts the programs there: a
# bookworm made by debootstrap (kept as a tarball in CACHE, default /var/cache/vireometer-fresh,
# so only the first run downloads it) is unpacked into a new folder each time, and apt-get
# installs the packages with what they depend on inside a chroot. Needs root and the network
# (the dependencies come from the Debian mirror); not part of the default test run.
#
#   tests/packaging/fresh_install.sh [DEB...]     (default: build-package/*.deb)
set -euo pipefail
cd "$(dirname "$0")/../.."
cache=${CACHE:-/var/cache/vireometer-fresh}
mirror=${MIRROR:-http://deb.debian.org/debian}
fail() { echo "fresh_install.sh: $*" >&2; exit 1; }
[ "$(id -u)" = 0 ] || fail "needs root (debootstrap and chroot)"
debs=("$@")
[ ${#debs[@]} -gt 0 ] || debs=(build-package/*.deb)
[ ${#debs[@]} -eq 3 ] && [ -f "${debs[0]}" ] || fail "give the three packages (scripts/package.sh makes them)"

base="$cache/bookworm-minbase.tar"
if [ ! -f "$base" ]; then
  command -v debootstrap >/dev/null || fail "debootstrap is missing: apt-get install debootstrap"
  mkdir -p "$cache"
  made=$(mktemp -d "$cache/make-XXXXXX")
  debootstrap --variant=minbase bookworm "$made" "$mirror" >&2
  tar -C "$made" -cf "$base.part" . && mv "$base.part" "$base"
  rm -rf "$made"
fi

root=$(mktemp -d /tmp/vireo-fresh-XXXXXX)
cleanup() {
  for m in dev/pts dev proc; do umount "$root/$m" 2>/dev/null || true; done
  rm -rf --one-file-system "$root"
}
trap cleanup EXIT
tar -C "$root" -xf "$base"
cp /etc/resolv.conf "$root/etc/resolv.conf"
mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
mkdir -p "$root/debs"
cp "${debs[@]}" "$root/debs/"

in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"; }
start=$(date +%s)
in_root sh -c 'apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends /debs/*.deb' >&2 ||
  fail "the packages do not install"
echo "installed in $(($(date +%s) - start)) s; $(in_root dpkg-query -W -f='${binary:Package} ${Version}\n' vireometer libhidlink1 libhidlink-dev | tr '\n' ' ')" >&2

# The programs start, as an unprivileged user, and find their data and the library.
in_root useradd --create-home user
as_user() { in_root su user -c "cd && $*"; }
as_user 'vireometer-cli --help' >/dev/null || fail "vireometer-cli does not start"
as_user 'vireometer-sim --help' >/dev/null || fail "vireometer-sim does not start"
as_user 'QT_QPA_PLATFORM=offscreen vireometer --help' >/dev/null || fail "vireometer does not start"
for program in vireometer vireometer-cli vireometer-sim; do
  version=$(as_user "QT_QPA_PLATFORM=offscreen $program --version" 2>/dev/null | head -1) || true
  echo "$program --version: ${version:-(none)}" >&2
done
# A meter served by the emulator is identified through the packaged library.
as_user 'export HIDLINK_VIRTUAL_DIR=$(mktemp -d); vireometer-sim > $HIDLINK_VIRTUAL_DIR/log & sim=$!
  until grep -q ^serving $HIDLINK_VIRTUAL_DIR/log; do kill -0 $sim || exit 1; sleep 0.1; done
  vireometer-cli info; status=$?; kill $sim; wait $sim; exit $status' >&2 || fail "vireometer-cli info does not reach the emulator"
# Building against the library with its pkg-config file.
in_root sh -c 'DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends gcc libc6-dev pkgconf' >&2
in_root sh -c 'printf "#include <hidlink/hidlink.h>\nint main(void) { return QelHidInit() == 0 ? 0 : 1; }\n" > /tmp/t.c &&
  cc /tmp/t.c -o /tmp/t $(pkg-config --cflags --libs hidlink) && /tmp/t' || fail "no program builds against hidlink"
echo "fresh Debian 12: the packages install, the programs start, hidlink links"

#!/usr/bin/env bash
# Installs the Debian packages that building and testing need. As root it runs apt-get;
# otherwise it names the missing packages and the command that installs them. Optional
# packages are only named: clang and libfuzzer-14-dev let scripts/fuzz.sh (and CI) fuzz;
# libsystemd-dev lets `serve` tell systemd it is ready (Type=notify, watchdog).
set -euo pipefail

packages=(build-essential cmake ninja-build pkg-config qt6-base-dev libgl-dev libcli11-dev nlohmann-json3-dev
  libsqlite3-dev libgtest-dev libgmock-dev googletest libbenchmark-dev xvfb xauth fonts-dejavu-core fonts-wqy-zenhei
  libcurl4-openssl-dev libmicrohttpd-dev libmosquitto-dev libcrypt-dev libyaml-dev mosquitto mosquitto-clients
  prometheus python3 curl desktop-file-utils appstream libxml2-utils man-db lintian dpkg-dev file)
optional=(clang libfuzzer-14-dev libsystemd-dev)

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

missing_optional=()
for p in "${optional[@]}"; do
  installed "$p" || missing_optional+=("$p")
done
if [ ${#missing_optional[@]} -gt 0 ]; then
  echo "Optional (fuzzing, sd_notify): apt-get install ${missing_optional[*]}" >&2
fi

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "These Debian packages are missing: ${missing[*]}" >&2
  echo "Install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi

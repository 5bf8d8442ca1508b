#!/usr/bin/env bash
# Renders the logo (packaging/linux/icons/vireometer.svg) to the PNG sizes of the hicolor icon
# theme, which are committed beside it. Run it after changing the SVG; needs rsvg-convert
# (Debian package librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")/../packaging/linux/icons"
command -v rsvg-convert >/dev/null || {
  echo "rsvg-convert is missing: apt-get install librsvg2-bin" >&2
  exit 1
}
for size in 16 22 24 32 48 64 128 256; do
  mkdir -p "hicolor/${size}x${size}/apps"
  rsvg-convert -w "$size" -h "$size" vireometer.svg -o "hicolor/${size}x${size}/apps/vireometer.png"
done
echo "rendered $(ls hicolor | wc -l) sizes"

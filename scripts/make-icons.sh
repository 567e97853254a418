#!/usr/bin/env bash
# Renders the program's icon (src/ui/icons/norvale.svg) as the PNG sizes of the hicolor theme
# that menus and docks without SVG support use: packaging/icons/<N>x<N>/org.norvale.CardRecovery.png.
# The PNGs are kept in the repository, so a build needs no renderer; run this again after the
# SVG changes and commit the result.
# Usage: scripts/make-icons.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
svg="$root/src/ui/icons/norvale.svg"
if ! command -v rsvg-convert >/dev/null; then
    echo "make-icons.sh: rsvg-convert not found (Debian package librsvg2-bin)" >&2
    exit 1
fi
for size in 16 24 32 48 64 128 256; do
    dir="$root/packaging/icons/${size}x${size}"
    mkdir -p "$dir"
    rsvg-convert --width "$size" --height "$size" --keep-aspect-ratio --format png \
        --output "$dir/org.norvale.CardRecovery.png" "$svg"
done

#!/usr/bin/env bash
# The main job, end to end on this machine: list what can be scanned, make a demo memory card
# with deleted photos, and recognise its file system.
set -euo pipefail
build=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
cli="$root/$build/src/cli/norvale-cli"
out="$root/out/demo"
mkdir -p "$out"

echo "== Disks and partitions of this machine (norvale-cli sources --all)"
"$cli" sources --all || true
echo
echo "== Making a demo card image with deleted photos"
card=$("$root/scripts/make-demo-card.sh" "$out/card.img")
echo "$card"
echo
echo "== File system of the demo card (norvale-cli detect)"
"$cli" detect "$card"

#!/usr/bin/env bash
# The main job, end to end on this machine: list what can be scanned, make a demo memory card
# on which photos were deleted, find them and get them back.
set -euo pipefail
build=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
cli="$root/$build/src/cli/norvale-cli"
out="$root/out/demo"
recovered="$root/demo-recovered"
mkdir -p "$out"
# The demo keeps its scan logs to itself.
export XDG_DATA_HOME="$out/xdg-data" XDG_CONFIG_HOME="$out/xdg-config"

echo "== Disks and partitions of this machine (norvale-cli sources --all)"
"$cli" sources --all || true
echo
echo "== Making a demo card image; two photos and a voice memo are deleted on it"
card=$("$root/scripts/make-demo-card.sh" "$out/card.img" "$out/originals")
echo "$card"
echo
echo "== File system of the demo card (norvale-cli detect)"
"$cli" detect "$card"
echo
echo "== What the deleted-file scan finds (norvale-cli list --tree)"
"$cli" list "$card" --mode deleted -q --tree
echo
echo "== Getting them back (norvale-cli recover --to demo-recovered)"
rm -rf "$recovered"
"$cli" recover "$card" --mode deleted --to "$recovered" || true
echo
echo "== What came back, compared with the files that were on the card"
# A deleted 8.3 name loses its first letter ("!mg_0002.png"), so files are matched by
# content, not by name.
find "$recovered" -type f | sort | while read -r f; do
    match=""
    for o in "$out/originals"/*; do
        if cmp -s "$f" "$o"; then match=$(basename "$o"); break; fi
    done
    if [ -n "$match" ]; then
        echo "  ${f#$root/}: identical to the deleted \"$match\""
    else
        echo "  ${f#$root/}: recovered, differs from every original"
    fi
done

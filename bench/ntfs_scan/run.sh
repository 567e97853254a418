#!/usr/bin/env bash
# Deleted-file scan speed on an NTFS image holding 100,000 files, half of them deleted, against
# The Sleuth Kit's `fls -rd` on the same image in the same run. The image is made once with
# mkntfs and filled through an ntfs-3g FUSE mount (root, or a user allowed to mount).
# Usage: bench/ntfs_scan/run.sh [BUILD_DIR] [RUNS]
set -euo pipefail
# shellcheck source=bench/lib.sh
. "$(dirname "$0")/../lib.sh"
bench_init "${1:-build}"
runs=${2:-5}
work="$root/out/bench"
img="$work/ntfs100k.img"
mkdir -p "$work"

if [ ! -f "$img" ]; then
    echo "making $img (100 folders x 1000 files, every second file deleted)..."
    make_ntfs_files "$img" 512M 100
fi

export XDG_DATA_HOME="$work/xdg-data" XDG_CONFIG_HOME="$work/xdg-config"

ours_found=$("$cli" list "$img" --mode deleted -q --json | grep -o '"name"' | wc -l)
# Deleted files with a name; the unused reserved records 16..23 show as nameless orphans.
tsk_found=$(fls -rd "$img" | grep -v -e '^[+]*[ ]*[-d]/d' -e 'OrphanFile-' | wc -l)
ours=$(time_runs "$runs" "$cli" scan "$img" --mode deleted -q)
tsk=$(time_runs "$runs" fls -rd "$img")
rm -rf "$work/xdg-data" "$work/xdg-config"

printf 'image: %s (%s)\n' "$img" "$(du -h "$img" | cut -f1)"
printf '%-28s %10s %14s\n' "tool" "best [s]" "deleted found"
printf '%-28s %10.3f %14s\n' "norvale-cli scan (deleted)" "$ours" "$ours_found"
printf '%-28s %10.3f %14s\n' "fls -rd (The Sleuth Kit)" "$tsk" "$tsk_found"
printf 'ratio ours/fls: %.2f (below 1 means faster)\n' "$(echo "$ours / $tsk" | bc -l)"

#!/usr/bin/env bash
# Deleted-file scan speed on a whole-disk image, no partition chosen, against The Sleuth Kit's
# `fls -rd` run at each partition's offset in the same run. The image has a DOS table with the
# 100,000-file FAT32 volume of bench/fat_scan (partition 1) and an NTFS volume of 20,000 files
# (partition 2), half of each deleted; the volumes are made once (mkfs.fat and mtools; mkntfs
# and an ntfs-3g FUSE mount: root, or a user allowed to mount) and kept under out/bench.
# Usage: bench/whole_disk_scan/run.sh [BUILD_DIR] [RUNS]
set -euo pipefail
# shellcheck source=bench/lib.sh
. "$(dirname "$0")/../lib.sh"
bench_init "${1:-build}"
runs=${2:-5}
need_cli
work="$root/out/bench"
fat="$work/fat100k.img"
ntfs="$work/ntfs20k.img"
img="$work/disk-fat100k-ntfs20k.img"
mkdir -p "$work"

if [ ! -f "$fat" ]; then
    echo "making $fat (100 folders x 1000 files, every second file deleted)..."
    make_fat100k "$fat"
fi
if [ ! -f "$ntfs" ]; then
    echo "making $ntfs (20 folders x 1000 files, every second file deleted)..."
    make_ntfs_files "$ntfs" 256M 20
fi
p1=2048
p1_size=$(($(stat -c %s "$fat") / 512))
p2=$((p1 + p1_size))
p2_size=$(($(stat -c %s "$ntfs") / 512))
if [ ! -f "$img" ] || [ "$img" -ot "$fat" ] || [ "$img" -ot "$ntfs" ]; then
    echo "making $img (DOS table: FAT32 at sector $p1, NTFS at sector $p2)..."
    truncate -s 0 "$img.tmp"
    truncate -s $(((p2 + p2_size + 2048) * 512)) "$img.tmp"
    sfdisk --quiet --no-reread --no-tell-kernel "$img.tmp" <<TABLE
label: dos
start=$p1, size=$p1_size, type=c
start=$p2, size=$p2_size, type=7
TABLE
    dd if="$fat" of="$img.tmp" bs=1M seek=$((p1 * 512)) oflag=seek_bytes conv=notrunc,sparse \
        status=none
    dd if="$ntfs" of="$img.tmp" bs=1M seek=$((p2 * 512)) oflag=seek_bytes conv=notrunc,sparse \
        status=none
    # Each boot sector states where its volume starts on the disk (the hidden-sector count at
    # byte 28), as a partitioning tool writes it.
    for start in $p1 $p2; do
        printf '%08x' "$start" | sed -E 's/(..)(..)(..)(..)/\4\3\2\1/' | xxd -r -p |
            dd of="$img.tmp" bs=1 seek=$((start * 512 + 28)) conv=notrunc status=none
    done
    mv "$img.tmp" "$img"
fi

export XDG_DATA_HOME="$work/xdg-data" XDG_CONFIG_HOME="$work/xdg-config"

# fls at every partition's offset, one after the other: what a person runs with The Sleuth Kit.
fls_each() { fls -rd -o "$p1" "$img" && fls -rd -o "$p2" "$img"; }
# Deleted files with a name; folders and NTFS's nameless reserved records are not counted.
tsk_found=$(fls_each | grep -c -v -e '^[+]*[ ]*[-d]/d' -e 'OrphanFile-' || true)
ours_found=$("$cli" list "$img" --mode deleted -q --json | grep -o '"name"' | wc -l || true)
# The same two volumes as files of their own: what the whole-disk scan adds to scanning them.
ours_each() { "$cli" scan "$fat" --mode deleted -q && "$cli" scan "$ntfs" --mode deleted -q; }
ours=$(time_runs "$runs" "$cli" scan "$img" --mode deleted -q)
each=$(time_runs "$runs" ours_each)
tsk=$(time_runs "$runs" fls_each)
rm -rf "$work/xdg-data" "$work/xdg-config"

printf 'image: %s (%s; FAT32 100,000 files + NTFS 20,000 files)\n' "$img" "$(du -h "$img" | cut -f1)"
printf '%-36s %10s %14s\n' "tool" "best [s]" "deleted found"
printf '%-36s %10.3f %14s\n' "norvale-cli scan (deleted, whole)" "$ours" "$ours_found"
printf '%-36s %10.3f %14s\n' "norvale-cli scan, each volume file" "$each" -
printf '%-36s %10.3f %14s\n' "fls -rd -o OFF, each partition" "$tsk" "$tsk_found"
if [ "${ours_found:-0}" -eq 0 ]; then
    echo "norvale-cli found nothing on the whole image: no ratio" >&2
    exit 1
fi
printf 'ratio ours/fls: %.2f (below 1 means faster)\n' "$(echo "$ours / $tsk" | bc -l)"
printf 'ratio whole image/volume files: %.2f\n' "$(echo "$ours / $each" | bc -l)"

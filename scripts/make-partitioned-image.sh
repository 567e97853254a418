#!/usr/bin/env bash
# Makes a small MBR-partitioned card image for the device tests and the demo:
#   partition 1: FAT32 (type 0x0C), sectors 2048..67583, label CARDFAT
#   unallocated: 20480 sectors, larger than one 255 x 63 cylinder
#   partition 2: NTFS (type 0x07), sectors 88064..153599, label CARDNTFS
#   unallocated tail up to the end of the 96 MiB image
# Everything is written into the image file; no device is touched and no privileges are needed.
# Usage: make-partitioned-image.sh OUTPUT.img
set -euo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 OUTPUT.img" >&2
    exit 2
fi
out=$1
for tool in sfdisk mkfs.fat mkntfs dd truncate; do
    command -v "$tool" >/dev/null 2>&1 || { echo "$0: $tool is missing" >&2; exit 3; }
done

p1_start=2048
p1_size=65536
p2_start=88064
p2_size=65536

rm -f "$out"
truncate -s 96M "$out"
sfdisk --quiet --no-reread --no-tell-kernel "$out" <<TABLE
label: dos
start=$p1_start, size=$p1_size, type=c
start=$p2_start, size=$p2_size, type=7
TABLE

# FAT32 in place; the hidden-sector count tells the volume where it starts on the disk.
# Its warnings (a small FAT32, a file longer than the volume) are expected and kept quiet.
quiet() {
    local msg
    if ! msg=$("$@" 2>&1); then
        echo "$msg" >&2
        exit 1
    fi
}
quiet mkfs.fat -F 32 -n CARDFAT --offset "$p1_start" -h "$p1_start" "$out" $((p1_size / 2))

# NTFS is made in a file of its own and copied into its partition.
ntfs=$(mktemp "${TMPDIR:-/tmp}/ntfs-part-XXXXXX")
trap 'rm -f "$ntfs"' EXIT
truncate -s $((p2_size * 512)) "$ntfs"
quiet mkntfs -F -Q -q -L CARDNTFS -p "$p2_start" -H 255 -S 63 "$ntfs"
dd if="$ntfs" of="$out" bs=512 seek="$p2_start" conv=notrunc,sparse status=none

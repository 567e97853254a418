#!/bin/sh
# Makes an exFAT card with deleted files, the way a camera or a computer leaves one: mkfs.exfat
# formats an image, the FUSE exFAT driver writes a tree several folders deep, then files, a
# fragmented file, a file with an unwritten middle and a whole folder are deleted. Needs root
# (loop device, FUSE mount), mkfs.exfat, losetup and mount.exfat-fuse.
#
#   scripts/make-exfat-deleted-card.sh IMAGE CLUSTER-SIZE EXPECTED-DIR [keep-chains]
#
# CLUSTER-SIZE as mkfs.exfat takes it (4K, 128K). The FUSE driver clears the FAT chain of what
# it deletes; other drivers leave it. With "keep-chains" the FAT as it was before the deletions
# is put back afterwards, and two live files between the fragmented file's pieces are deleted as
# well, so that only its chain tells where it lay. Every deleted file is first copied to
# EXPECTED-DIR under its path on the card, so a recovery can be compared byte for byte.
# EXPECTED-DIR/live.txt lists the files left on the card, one path a line.
set -eu

img=$1
cluster=$2
expected=$3
mode=${4:-}
case $cluster in
*K) cbytes=$((${cluster%K} * 1024)) ;;
*M) cbytes=$((${cluster%M} * 1048576)) ;;
*) cbytes=$cluster ;;
esac

work=$(mktemp -d)
mnt="$work/mnt"
mkdir -p "$mnt" "$expected"
loop=""
cleanup() {
    if mountpoint -q "$mnt" 2>/dev/null; then umount "$mnt" 2>/dev/null || fusermount -u "$mnt" 2>/dev/null || true; fi
    if [ -n "$loop" ]; then losetup -d "$loop" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

# Enough clusters for the fragmented file's holes at either cluster size.
size_mib=$((cbytes >= 65536 ? 96 : 48))
rm -f "$img"
truncate -s "${size_mib}M" "$img"
mkfs.exfat -c "$cluster" -L NORVALE "$img" >/dev/null
loop=$(losetup -f --show "$img")
mount.exfat-fuse "$loop" "$mnt" >/dev/null 2>&1

seed=0
put() { # path size: random content, a JFIF header when the name ends in .jpg
    seed=$((seed + 1))
    mkdir -p "$mnt/$(dirname "$1")"
    case $1 in
    *.jpg) { printf '\377\330\377\340\000\020JFIF\000'; head -c "$(($2 - 11))" /dev/urandom; } >"$mnt/$1" ;;
    *) head -c "$2" /dev/urandom >"$mnt/$1" ;;
    esac
}
remove() { # path: copy to EXPECTED-DIR, then delete from the card
    mkdir -p "$expected/$(dirname "$1")"
    cp "$mnt/$1" "$expected/$1"
    rm -f "$mnt/$1"
}

put "top.txt" 1000
put "gone in root.bin" 70000
put "empty.txt" 0
put "Photos/2024/Summer/beach.jpg" 300000
put "Photos/2024/Summer/keep.jpg" 50000
put "Photos/2024/Summer/sunset at the lake, from the boathouse balcony.jpg" 123457
put "Docs/Deep/Deeper/Deepest/Résumé – 日本語 notes for the annual report.txt" 9000
put "Docs/Deep/Deeper/kept.txt" 500
put "Doomed/a.txt" 5000
put "Doomed/Inner/b.bin" 200000
put "Doomed/Inner/Innermost/c.jpg" 40000

# Holes: ten 3-cluster files, every other one deleted, then a file that needs the holes.
i=0
while [ $i -lt 10 ]; do
    put "Fill/f$i.bin" $((3 * cbytes))
    i=$((i + 1))
done
for i in 0 2 4 6 8; do rm -f "$mnt/Fill/f$i.bin"; done
sync
put "Fill/fragmented.bin" $((14 * cbytes + 1234))
if [ "$mode" = keep-chains ]; then
    umount "$mnt"
    fat_at=$(od -An -t u4 -j 80 -N 4 "$img" | tr -d ' ')
    fat_sectors=$(od -An -t u4 -j 84 -N 4 "$img" | tr -d ' ')
    shift_byte=$(od -An -t u1 -j 108 -N 1 "$img" | tr -d ' ')
    bps=$((1 << shift_byte))
    dd if="$img" of="$work/fat" bs="$bps" skip="$fat_at" count="$fat_sectors" 2>/dev/null
    mount.exfat-fuse "$loop" "$mnt" >/dev/null 2>&1
fi

# A file whose middle was never written: the driver fills it with zeros.
mkdir -p "$mnt/Sparse"
head -c 3000 /dev/urandom >"$mnt/Sparse/holey.bin"
head -c 5000 /dev/urandom | dd of="$mnt/Sparse/holey.bin" bs=1 seek=$((5 * cbytes)) conv=notrunc 2>/dev/null
sync

remove "gone in root.bin"
remove "empty.txt"
remove "Photos/2024/Summer/beach.jpg"
remove "Photos/2024/Summer/sunset at the lake, from the boathouse balcony.jpg"
remove "Docs/Deep/Deeper/Deepest/Résumé – 日本語 notes for the annual report.txt"
remove "Fill/fragmented.bin"
remove "Sparse/holey.bin"
for f in "Doomed/a.txt" "Doomed/Inner/b.bin" "Doomed/Inner/Innermost/c.jpg"; do
    mkdir -p "$expected/$(dirname "$f")"
    cp "$mnt/$f" "$expected/$f"
done
rm -rf "$mnt/Doomed"
if [ "$mode" = keep-chains ]; then
    remove "Fill/f1.bin"
    remove "Fill/f3.bin"
fi

(cd "$mnt" && find . -type f | sed 's|^\./||' | sort) >"$expected/live.txt"
sync
umount "$mnt"
losetup -d "$loop"
loop=""
if [ "$mode" = keep-chains ]; then
    dd if="$work/fat" of="$img" bs="$bps" seek="$fat_at" conv=notrunc 2>/dev/null
fi

#!/bin/sh
# Builds the small NTFS image committed under tests/fixtures/ntfs, together with what ntfs-3g's
# own tools report about its files, so the NTFS parser tests can check run lists, names and
# deleted records without FUSE or ntfs-3g installed. Needs mkntfs, ntfs-3g (a FUSE mount, so
# root or a user allowed to mount), ntfsinfo and gzip.
#
#   scripts/make-ntfs-fixtures.sh          rewrite the fixtures in the source tree
#
# ntfs_card.img.gz: a 16 MiB volume with 512-byte sectors and 1 KiB clusters holding
#   /readme.txt                 300 bytes, resident
#   /DCIM/photo.jpg             70,000 bytes, one run
#   /big.bin                    2,000,000 bytes written after the volume was filled and every
#                               other fill file deleted: ~170 runs, more than 512 bytes of
#                               mapping pairs, a second $DATA extent in another record and a
#                               non-resident $ATTRIBUTE_LIST
#   /sparse.bin                 a hole of 3,000,000 bytes, then 6 bytes
#   /linked.txt                 150 more hard links: its names spill into extension records
#   /Ärger/naïve ☃.txt          non-ASCII names
#   deleted: /gone.txt (resident), /DCIM/old photo.jpg (non-resident), the odd fill files
# ntfs_card.txt: one line per file, fields separated by tabs:
#   file     INODE  PATH  SIZE  RUNS
#   deleted  INODE  NAME  PARENT-INODE  SIZE  RUNS     (as the record held it before the rm)
# RUNS are "LCN+LENGTH" in clusters, "hole+LENGTH" for a sparse run, separated by spaces.
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
out="$here/tests/fixtures/ntfs"
work=$(mktemp -d)
mnt="$work/mnt"
cleanup() {
    mountpoint -q "$mnt" 2>/dev/null && umount "$mnt"
    rm -rf "$work"
}
trap cleanup EXIT
export LC_ALL=C.UTF-8 TZ=UTC
mkdir -p "$out" "$mnt"

img="$work/ntfs_card.img"
facts="$work/ntfs_card.txt"
: >"$facts"

# The unnamed $DATA of record $1 as ntfsinfo decodes it: its size, then its runs.
data_size() {
    ntfsinfo -v -i "$1" "$img" | awk '/^Dumping attribute \$DATA/ {d=1; next}
        /^Dumping/ {d=0} d && /Data size:/ {print $3; exit}'
}
data_runs() {
    ntfsinfo -v -i "$1" "$img" | awk '
        function hex(s,   v, i, c) {
            v = 0
            for (i = 3; i <= length(s); i++) v = v * 16 + index("0123456789abcdef", tolower(substr(s, i, 1))) - 1
            return v
        }
        /^Dumping attribute \$DATA/ {d=1; next} /^Dumping/ {d=0}
        d && $1 ~ /^0x/ && NF == 3 && ($2 ~ /^0x/ || $2 == "<HOLE>") && !seen[$1]++ {
            lcn = ($2 == "<HOLE>") ? "hole" : sprintf("%d", hex($2))
            printf "%s%s+%d", sep, lcn, hex($3); sep = " " }
        END {print ""}'
}
inode() { ls -id "$mnt$1" | awk '{print $1}'; }
pattern() { # text size -> stdout
    yes "$1" | head -c "$2"
}

mkntfs -F -Q -q -c 1024 -L CARD "$img" 16384 >/dev/null 2>&1 || {
    truncate -s 16M "$img"
    mkntfs -F -Q -q -c 1024 -L CARD "$img" >/dev/null 2>&1
}
ntfs-3g "$img" "$mnt"
pattern "readme of the card" 300 >"$mnt/readme.txt"
mkdir "$mnt/DCIM" "$mnt/fill" "$mnt/Ärger"
pattern "photo bytes" 70000 >"$mnt/DCIM/photo.jpg"
pattern "old photo bytes" 50000 >"$mnt/DCIM/old photo.jpg"
pattern "gone" 200 >"$mnt/gone.txt"
pattern "naive snowman" 1234 >"$mnt/Ärger/naïve ☃.txt"
pattern "linked" 40 >"$mnt/linked.txt"
k=1
while [ $k -le 150 ]; do
    ln "$mnt/linked.txt" "$mnt/link_name_number_$k.txt"
    k=$((k + 1))
done
printf 'sparse' | dd of="$mnt/sparse.bin" bs=1 seek=3000000 2>/dev/null

# Fill the volume, free every other fill file, and write a file that has to use the holes.
blk=$(pattern "fill block" 3000)
i=0
while (printf '%s' "$blk" >"$mnt/fill/f$i") 2>/dev/null; do i=$((i + 1)); done
j=0
while [ $j -le $i ]; do
    rm -f "$mnt/fill/f$j"
    j=$((j + 2))
done
pattern "big file line" 2000000 >"$mnt/big.bin"

remember_deleted() { # path name
    n=$(inode "$1")
    parent=$(inode "$(dirname "$1")")
    umount "$mnt"
    printf 'deleted\t%s\t%s\t%s\t%s\t%s\n' "$n" "$2" "$parent" "$(data_size "$n")" \
        "$(data_runs "$n")" >>"$facts.deleted"
    ntfs-3g "$img" "$mnt"
}
remember_deleted /gone.txt gone.txt
remember_deleted "/DCIM/old photo.jpg" "old photo.jpg"
rm "$mnt/gone.txt" "$mnt/DCIM/old photo.jpg"

for p in /readme.txt /DCIM/photo.jpg /big.bin /sparse.bin /linked.txt "/Ärger/naïve ☃.txt"; do
    printf '%s\t%s\n' "$(inode "$p")" "$p" >>"$work/live"
done
umount "$mnt"
while IFS="$(printf '\t')" read -r n p; do
    printf 'file\t%s\t%s\t%s\t%s\n' "$n" "$p" "$(data_size "$n")" "$(data_runs "$n")" >>"$facts"
done <"$work/live"
cat "$facts.deleted" >>"$facts"

gzip -9n <"$img" >"$out/ntfs_card.img.gz"
cp "$facts" "$out/ntfs_card.txt"
echo "wrote $out/ntfs_card.img.gz ($(wc -c <"$out/ntfs_card.img.gz") bytes) and ntfs_card.txt"

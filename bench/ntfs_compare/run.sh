#!/usr/bin/env bash
# Deleted files found and recovered byte-exact on NTFS images, ours against The Sleuth Kit
# (fls -rd + icat) and ntfs-3g's ntfsundelete on the same images. The images are made with
# mkntfs and filled through an ntfs-3g FUSE mount (root, or a user allowed to mount): files in
# the root and in folders, non-ASCII names, a sparse, a compressed and a fragmented file, a deleted folder
# with content and a file whose folder's record was handed out again; then some are deleted.
# Usage: bench/ntfs_compare/run.sh [BUILD_DIR]
set -euo pipefail
# shellcheck source=bench/lib.sh
. "$(dirname "$0")/../lib.sh"
bench_init "${1:-build}"
work=$(mktemp -d)
mnt="$work/mnt"
cleanup() {
    mountpoint -q "$mnt" 2>/dev/null && umount "$mnt"
    rm -rf "$work"
}
trap cleanup EXIT
export XDG_DATA_HOME="$work/xdg" XDG_CONFIG_HOME="$work/xdg" LC_ALL=C.UTF-8
mkdir -p "$mnt"

python3 - "$work/src" <<'PY'
import os, random, sys
d = sys.argv[1]; os.makedirs(d)
r = random.Random(7)
sizes = {'small.txt': 300, 'photo 01.jpg': 70000, 'Ærøskøbing.png': 40000, 'big.bin': 900000,
         'song.mp3': 250000, 'report.pdf': 120000, 'inner1.txt': 5000, 'inner2.jpg': 33000,
         'left behind.txt': 900, 'fragmented.bin': 150000}
for name, n in sizes.items():
    data = bytes(r.getrandbits(8) for _ in range(n))
    if name.endswith('.jpg'): data = b'\xff\xd8\xff\xe0\x00\x10JFIF\x00' + data[11:]
    if name.endswith('.png'): data = b'\x89PNG\r\n\x1a\n' + data[8:]
    if name.endswith('.pdf'): data = b'%PDF-1.4\n' + data[9:]
    open(os.path.join(d, name), 'wb').write(data)
with open(os.path.join(d, 'packed.txt'), 'w') as f:
    f.write(''.join(r.choice(['alpha ', 'beta ', 'gamma\n']) for _ in range(60000)))
with open(os.path.join(d, 'sparse.bin'), 'wb') as f:
    f.seek(2000000); f.write(b'sparse tail')
PY

make_image() {  # mkntfs-args image
    local img=$2 s="$work/src" i
    truncate -s 48M "$img"
    mkntfs -F -Q -q $1 "$img" >/dev/null 2>&1
    ntfs-3g "$img" "$mnt"
    # The first user records: this folder's record is handed out again at the end.
    mkdir "$mnt/Lost"
    cp "$s/left behind.txt" "$mnt/Lost/"
    # Holes: fill the volume, free every other fill file, hand their records to small files
    # (a new mount gives out the lowest free records first) and write into the holes.
    mkdir "$mnt/fill"
    for i in $(seq 0 299); do head -c 4097 "$s/big.bin" >"$mnt/fill/f$i"; done
    dd if=/dev/zero of="$mnt/filler" bs=1M 2>/dev/null || true
    for i in $(seq 0 2 299); do rm "$mnt/fill/f$i"; done
    umount "$mnt"
    ntfs-3g "$img" "$mnt"
    for i in $(seq 0 149); do echo "$i" >"$mnt/fill/t$i"; done
    cp "$s/fragmented.bin" "$mnt/"
    : >"$mnt/filler"  # frees its clusters, stays a live file
    mkdir "$mnt/Music" "$mnt/Gone" "$mnt/Packed"
    # Files written into a folder marked compressed are stored in LZNT1 units.
    python3 -c 'import os, sys; os.setxattr(sys.argv[1], "system.ntfs_attrib_be", bytes([0, 0, 8, 0x10]))' \
        "$mnt/Packed" 2>/dev/null || true
    cp "$s/packed.txt" "$mnt/Packed/"
    cp "$s/small.txt" "$s/photo 01.jpg" "$s/Ærøskøbing.png" "$s/big.bin" "$s/sparse.bin" "$mnt/"
    cp "$s/song.mp3" "$s/report.pdf" "$mnt/Music/"
    cp "$s/inner1.txt" "$s/inner2.jpg" "$mnt/Gone/"
    rm "$mnt/photo 01.jpg" "$mnt/Ærøskøbing.png" "$mnt/big.bin" "$mnt/Music/song.mp3" \
        "$mnt/fragmented.bin" "$mnt/small.txt" "$mnt/sparse.bin" "$mnt/Lost/left behind.txt" \
        "$mnt/Packed/packed.txt"
    rm -r "$mnt/Gone"
    rmdir "$mnt/Lost"
    umount "$mnt"
    ntfs-3g "$img" "$mnt"
    echo reused >"$mnt/reused.txt"
    umount "$mnt"
}

deleted="small.txt|photo 01.jpg|Ærøskøbing.png|big.bin|song.mp3|inner1.txt|inner2.jpg|left behind.txt|fragmented.bin|sparse.bin|packed.txt"
total=$(echo "$deleted" | tr '|' '\n' | wc -l)

# Exact: an original deleted file for which the output holds a byte-identical file, whatever
# name each tool gave it.
exact() { count_exact "$work/src" "$1" < <(echo "$deleted" | tr '|' '\n'); }  # output-folder
# The same when every output file is first cut to the original's length: ntfsundelete writes
# whole clusters, so its copies carry the slack after the file's end.
cut_exact() {  # output-folder
    local n=0 name h size f
    while IFS= read -r name; do
        h=$(sha256sum <"$work/src/$name" | cut -d' ' -f1)
        size=$(stat -c %s "$work/src/$name")
        while IFS= read -r -d '' f; do
            if [ "$(head -c "$size" "$f" | sha256sum | cut -d' ' -f1)" = "$h" ]; then
                n=$((n + 1))
                break
            fi
        done < <(find "$1" -type f -size +0 -print0)
    done < <(echo "$deleted" | tr '|' '\n')
    echo "$n"
}

printf '%-16s %7s | %6s %6s | %6s %6s | %6s %6s %6s\n' "" "" ours ours tsk tsk undel undel undel
printf '%-16s %7s | %6s %6s | %6s %6s | %6s %6s %6s\n' image deleted files exact files exact files \
    exact cut
for args in "-c 4096" "-c 1024" "-c 512" "-s 4096 -c 4096"; do
    name=$(echo "$args" | tr -d ' -')
    img="$work/$name.img"
    make_image "$args" "$img"
    rm -rf "$work/ours" "$work/tsk" "$work/undel"
    mkdir -p "$work/ours" "$work/tsk" "$work/undel"
    "$cli" recover "$img" --mode deleted --to "$work/ours" -q >/dev/null 2>&1 || true
    i=0
    fls -rd -p -F "$img" 2>/dev/null | sed -E 's/^[^ ]+ [*] ([0-9-]+)(\([^)]*\))?:\t.*$/\1/' |
        while read -r inode; do
            i=$((i + 1))
            icat "$img" "$inode" >"$work/tsk/$i" 2>/dev/null || true
        done
    (cd "$work/undel" && ntfsundelete "$img" -u -m '*' -d "$work/undel" >/dev/null 2>&1) || true
    printf '%-16s %7s | %6s %6s | %6s %6s | %6s %6s %6s\n' "$args" "$total" \
        "$(count_files "$work/ours")" "$(exact "$work/ours")" \
        "$(count_files "$work/tsk")" "$(exact "$work/tsk")" \
        "$(count_files "$work/undel")" "$(exact "$work/undel")" "$(cut_exact "$work/undel")"
done

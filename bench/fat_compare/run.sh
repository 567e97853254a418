#!/usr/bin/env bash
# Deleted files found and recovered byte-exact on FAT12/16/32 images, ours against The Sleuth
# Kit (fls -rd + icat) on the same images. The images are made with mkfs.fat and mtools: files
# in the root and in folders, long and non-ASCII names, a deleted folder, a fragmented file,
# then some of them deleted.
# Usage: bench/fat_compare/run.sh [BUILD_DIR]
set -euo pipefail
# shellcheck source=bench/lib.sh
. "$(dirname "$0")/../lib.sh"
bench_init "${1:-build}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export MTOOLS_SKIP_CHECK=1 XDG_DATA_HOME="$work/xdg" XDG_CONFIG_HOME="$work/xdg"

python3 - "$work/src" <<'PY'
import os, random, sys
d = sys.argv[1]; os.makedirs(d)
r = random.Random(7)
sizes = {'small.txt': 300, 'photo 01.jpg': 70000, 'Ærøskøbing.png': 40000, 'big.bin': 900000,
         'song.mp3': 250000, 'report.pdf': 120000, 'inner1.txt': 5000, 'inner2.jpg': 33000,
         'frag_a.bin': 20000, 'frag_b.bin': 20000, 'frag_c.bin': 20000, 'fragmented.bin': 150000}
for name, n in sizes.items():
    data = bytes(r.getrandbits(8) for _ in range(n))
    if name.endswith('.jpg'): data = b'\xff\xd8\xff\xe0\x00\x10JFIF\x00' + data[11:]
    if name.endswith('.png'): data = b'\x89PNG\r\n\x1a\n' + data[8:]
    if name.endswith('.pdf'): data = b'%PDF-1.4\n' + data[9:]
    open(os.path.join(d, name), 'wb').write(data)
PY

make_image() {  # fat-type sectors-per-cluster size-in-KiB image
    local img=$4 s="$work/src"
    mkfs.fat -C -F "$1" -s "$2" "$img" "$3" >/dev/null
    mcopy -i "$img" "$s/small.txt" "$s/photo 01.jpg" "$s/Ærøskøbing.png" "$s/big.bin" ::/
    mmd -i "$img" ::/Music ::/Gone
    mcopy -i "$img" "$s/song.mp3" "$s/report.pdf" ::/Music/
    mcopy -i "$img" "$s/inner1.txt" "$s/inner2.jpg" ::/Gone/
    mcopy -i "$img" "$s/frag_a.bin" "$s/frag_b.bin" "$s/frag_c.bin" ::/
    mdel -i "$img" ::/frag_b.bin
    mcopy -i "$img" "$s/fragmented.bin" ::/
    mdel -i "$img" "::/photo 01.jpg" "::/Ærøskøbing.png" ::/big.bin ::/Music/song.mp3 ::/fragmented.bin
    mdeltree -i "$img" ::/Gone
}

deleted="photo 01.jpg|Ærøskøbing.png|big.bin|song.mp3|inner1.txt|inner2.jpg|fragmented.bin"
total=$(echo "$deleted" | tr '|' '\n' | wc -l)

# Exact: an original deleted file for which the output holds a byte-identical file, whatever
# name each tool gave it (deleted 8.3 names lose their first character).
exact() { count_exact "$work/src" "$1" < <(echo "$deleted" | tr '|' '\n'); }  # output-folder

printf '%-10s %8s | %12s %10s | %12s %10s\n' image deleted "ours files" "ours exact" "tsk files" "tsk exact"
for layout in "12 4 4096" "16 4 32768" "32 1 65536" "32 8 307200"; do
    set -- $layout
    img="$work/fat$1-s$2.img"
    make_image "$1" "$2" "$3" "$img"
    rm -rf "$work/ours" "$work/tsk"; mkdir -p "$work/ours" "$work/tsk"
    "$cli" recover "$img" --mode deleted --to "$work/ours" -q >/dev/null 2>&1 || true
    i=0
    fls -rd -p -F "$img" 2>/dev/null | sed -E 's/^[^ ]+ [*] ([0-9-]+)(\([^)]*\))?:\t.*$/\1/' |
        while read -r inode; do
            i=$((i + 1))
            icat "$img" "$inode" > "$work/tsk/$i" 2>/dev/null || true
        done
    of=$(find "$work/ours" -type f | wc -l)
    tf=$(find "$work/tsk" -type f | wc -l)
    printf '%-10s %8s | %12s %10s | %12s %10s\n' "fat$1 s$2" "$total" "$of" "$(exact "$work/ours")" \
        "$tf" "$(exact "$work/tsk")"
done

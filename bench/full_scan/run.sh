#!/usr/bin/env bash
# Full-scan speed and memory on two quick-formatted FAT32 cards holding real files of every
# carvable family (scripts/make-carve-image.py files):
#   packed  FULL_PACKED_MIB (default 1024, 4 KiB clusters; 2 KiB below 512 MiB) filled to about
#           nine tenths with the files of a packed raw card (make-carve-image.py packed: small
#           and medium ones dominating, thousands per GiB), 200 to a folder, in that card's order;
#   sparse  FULL_SPARSE_GIB (default 4) made by `make-formatted-media.sh sparse`: one folder of
#           the files at the start and the same files written raw at scattered offsets, the
#           rest zeros (it takes no disk space).
# Each card is read from the page cache, in turns and in the same run, by `dd bs=4M` (the
# raw-read limit), by our full scan alone (`norvale-cli scan --mode full`) and by our recovery
# (`recover --mode full --to DIR`: the scan and writing the files, as PhotoRec does), each with
# one thread and with one per core, and by PhotoRec (every family, whole space, writing its
# files to a temporary folder, as in bench/lib.sh); the best of RUNS runs counts. Our peak
# resident memory (GNU time -v) is the largest of our runs. The last recovery from the sparse
# card is checked: the folder's files must come back under their names and the scattered raw
# copies by content.
# Usage: bench/full_scan/run.sh [BUILD_DIR] [RUNS]
#   RUNS defaults to $RUNS or 3; FULL_PACKED_MIB (or FULL_BENCH_MIB) and FULL_SPARSE_GIB (or
#   SPARSE_GIB) set the cards' sizes (0 skips a card); BENCH_FILES names a folder made by
#   `make-carve-image.py files` to use instead of making one; temporary files under $BENCH_TMP
#   or /tmp (BENCH_TMP=/dev/shm leaves the destination disk out of the recoveries' times, as in
#   bench/carve).
set -euo pipefail
# shellcheck source=bench/lib.sh
. "$(dirname "$0")/../lib.sh"
bench_init "${1:-build}"
runs=${2:-${RUNS:-3}}
mib=${FULL_PACKED_MIB:-${FULL_BENCH_MIB:-1024}}
sparse_gib=${FULL_SPARSE_GIB:-${SPARSE_GIB:-4}}
make_media="$root/scripts/make-formatted-media.sh"
need_cli
need_peers photorec mkfs.fat mcopy /usr/bin/time

work=$(bench_tmp)
bench_cleanup_on_exit "$work"
export XDG_DATA_HOME="$work/xdg" XDG_CONFIG_HOME="$work/xdg" LC_ALL=C.UTF-8
mkdir -p "$work/logs"
files=$(bench_real_files "$work")

machine_line
echo "best of $runs runs; every card read from the page cache"

if [ "$mib" -gt 0 ]; then
    img="$work/packed.img"
    echo "making a $mib MiB quick-formatted FAT32 card packed with real files in $work..." >&2
    # The packed raw card's files in its order, as a folder tree (links where they can be).
    "$root/scripts/make-carve-image.py" packed "$files" "$work/layout.img" $((mib * 90 / 100)) \
        "$work/packed.tsv"
    rm -f "$work/layout.img"
    python3 - "$files" "$work/packed.tsv" "$work/tree" <<'PY'
import os, shutil, sys
files, manifest, tree = sys.argv[1:]
with open(manifest) as f:
    for k, line in enumerate(f):
        name = line.split("\t")[0]
        folder = os.path.join(tree, "Card copy %03d" % (k // 200 + 1))
        os.makedirs(folder, exist_ok=True)
        source, target = os.path.join(files, name), os.path.join(folder, "%04d %s" % (k, name))
        try:
            os.link(source, target)
        except OSError:  # BENCH_FILES on another file system
            shutil.copyfile(source, target)
PY
    spc=8
    [ "$mib" -ge 512 ] || spc=4  # enough clusters for FAT32 on a small card
    "$make_media" fat "$img" "$mib" "$work/tree" "-F 32 -s $spc" "-F 32 -s $spc"
    tree_files=$(find "$work/tree" -type f | wc -l)
    rm -rf "$work/tree"
    sync
    cat "$img" >/dev/null  # every tool reads the card from the page cache
    race_threads "$work" "$img" "$runs" full
    echo
    printf 'packed card: %s MiB FAT32 (%s KiB clusters) holding %s real files, quick-formatted\n' \
        "$mib" $((spc / 2)) "$tree_files"
    print_race_threads "$(stat -c %s "$img")" full
    rm -rf "$img" "$work/recovered" "$work/photorec"
fi

[ "$sparse_gib" -gt 0 ] || exit 0
sparse="$work/sparse.img"
echo "making a sparse $sparse_gib GiB quick-formatted FAT32 card..." >&2
"$make_media" sparse "$sparse" "$sparse_gib" "$files" >"$work/scattered.txt"
cat "$sparse" >/dev/null  # the holes read as zeros the kernel makes, kept in the page cache
race_threads "$work" "$sparse" "$runs" full
# What the last recovery brought back: the folder's files under their names, the scattered
# raw copies by content; files of the same content count once (the files step makes twins).
read -r expected named raw < <(python3 - "$files" "$work/recovered" <<'PY'
import collections, hashlib, os, sys
def walk(folder):
    for base, _, names in os.walk(folder):
        for n in names:
            with open(os.path.join(base, n), "rb") as f:
                yield n.lower(), hashlib.sha256(f.read()).hexdigest()
want = dict((d, n) for n, d in walk(sys.argv[1]))
got = collections.Counter()
named = 0
for n, d in walk(sys.argv[2]):
    if d in want and n == want[d] and not got[(d, "named")]:
        got[(d, "named")] = 1
        named += 1
    elif d in want:
        got[d] += 1
raw = sum(min(got[d], 1) for d in want)  # the one raw copy of each file, by content
print(len(want), named, raw)
PY
)
echo
printf 'sparse card: %s GiB FAT32 (%s files in a folder and the same written raw at scattered offsets, quick-formatted, the rest zeros)\n' \
    "$sparse_gib" "$(find "$files" -maxdepth 1 -type f | wc -l)"
print_race_threads "$(stat -c %s "$sparse")" full
printf 'recovered byte-exact (%s threads), of %s distinct files: %s of the folder files under their names, %s of the raw copies\n' \
    "$(nproc)" "$expected" "$named" "$raw"

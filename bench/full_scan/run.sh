#!/usr/bin/env bash
# Full-scan speed and memory. A 2 GiB FAT32 image (4 KiB clusters) filled with a tree of mixed
# real files (scripts/make-formatted-media.sh tree) and then quick-formatted, read from the page
# cache in turns, in the same run, by `dd bs=1M` (the raw-read limit), by our full scan
# (`norvale-cli scan --mode full --restart -q`) and by PhotoRec (every family, whole space,
# writing its files to a temporary folder, as in bench/lib.sh); the best of RUNS runs counts.
# Then our peak resident memory (GNU time -v) for the full pass over that image and over a
# large sparse image: a FAT32 volume of SPARSE_GIB (default 64) holding one folder of real files
# at its start and the same files written raw at scattered offsets, quick-formatted, the rest
# zeros (it takes no disk space); that run's time and what it found are shown too, and a
# recovery from it checks that the scattered files come back whole.
# Usage: bench/full_scan/run.sh [BUILD_DIR] [RUNS]
#   RUNS defaults to $RUNS or 3; FULL_BENCH_MIB sets the image size (default 2048);
#   SPARSE_GIB the sparse image's size (0 skips it); temporary files under $BENCH_TMP or /tmp.
set -euo pipefail
# shellcheck source=bench/lib.sh
. "$(dirname "$0")/../lib.sh"
bench_init "${1:-build}"
runs=${2:-${RUNS:-3}}
mib=${FULL_BENCH_MIB:-2048}
sparse_gib=${SPARSE_GIB:-64}
make_media="$root/scripts/make-formatted-media.sh"
need_cli
need_peers photorec mkfs.fat mcopy convert /usr/bin/time

work=$(bench_tmp)
bench_cleanup_on_exit "$work"
export XDG_DATA_HOME="$work/xdg" XDG_CONFIG_HOME="$work/xdg" LC_ALL=C.UTF-8
img="$work/formatted.img"
mkdir -p "$work/logs"

echo "making a $mib MiB formatted FAT32 image of real files in $work..." >&2
"$root/scripts/make-carve-image.py" files "$work/files"
"$make_media" tree "$work/files" "$work/tree" $((mib * 90 / 100))
"$make_media" fat "$img" "$mib" "$work/tree" "-F 32 -s 8" "-F 32 -s 8"
tree_files=$(find "$work/tree" -type f | wc -l)
rm -rf "$work/tree"
sync
cat "$img" >/dev/null  # every tool reads the image from the page cache

race_dd_ours_photorec "$work" "$img" "$runs" "$cli" scan --mode full --restart -q "$img"
rm -rf "$work/photorec"

# Peak memory of the full pass over the same image.
rm -rf "$work/xdg"
run_time_v "$work/logs/rss-2g.out" "$cli" scan --mode full --restart -q "$img"
rss_2g=$(time_v_rss_kib "$work/logs/rss-2g.out")

printf 'image: %s MiB FAT32 (4 KiB clusters) holding %s real files, quick-formatted; in the page cache; best of %s runs\n' \
    "$mib" "$tree_files" "$runs"
print_race "$(stat -c %s "$img")" "norvale-cli scan --mode full"
printf 'peak memory of our full scan, %s MiB image: %.1f MiB\n' "$mib" "$(echo "$rss_2g / 1024" | bc -l)"
rm -f "$img"

[ "$sparse_gib" -gt 0 ] || exit 0
sparse="$work/sparse.img"
echo "making a sparse $sparse_gib GiB formatted FAT32 image..." >&2
"$make_media" sparse "$sparse" "$sparse_gib" "$work/files" >"$work/scattered.txt"
# The raw-read limit for the same file (holes read as zeros that the kernel makes): the better
# of two reads, the first one also puts what fits into the page cache for our scan after it.
sparse_dd=$(time_runs 2 dd if="$sparse" of=/dev/null bs=1M)
rm -rf "$work/xdg"
run_time_v "$work/logs/rss-sparse.out" "$cli" scan --mode full --restart -q "$sparse"
rss_sparse=$(time_v_rss_kib "$work/logs/rss-sparse.out")
secs_sparse=$(time_v_secs "$work/logs/rss-sparse.out")
found_sparse=$(found_by_ours "$work/logs/rss-sparse.out")
# What comes back: the folder's files under their names, the scattered raw copies by content.
rm -rf "$work/xdg" "$work/recovered"
"$cli" recover --mode full --restart -q "$sparse" --to "$work/recovered" \
    >"$work/logs/recover-sparse.out" 2>&1
expected=$(find "$work/files" -type f | wc -l)
read -r named raw < <(python3 - "$work/files" "$work/recovered" <<'PY'
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
print(named, raw)
PY
)
printf 'sparse image: %s GiB (FAT32, %s files in a folder and the same written raw at scattered offsets, quick-formatted)\n' \
    "$sparse_gib" "$expected"
mbs_of() { echo "$sparse_gib * 1024 / $1" | bc -l; }
printf '  dd bs=1M (better of 2): %.1f s (%.0f MB/s)\n' "$sparse_dd" "$(mbs_of "$sparse_dd")"
printf '  our full scan: %.1f s (%.0f MB/s), %s items found, peak memory %.1f MiB\n' \
    "$secs_sparse" "$(mbs_of "$secs_sparse")" "${found_sparse:-?}" "$(echo "$rss_sparse / 1024" | bc -l)"
printf '  recovered byte-exact: %s of the %s folder files under their names, %s of the %s raw copies\n' \
    "$named" "$expected" "$raw" "$expected"

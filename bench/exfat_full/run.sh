#!/usr/bin/env bash
# Full-scan speed on a quick-formatted exFAT card. A card of FULL_BENCH_MIB (default 1024) with
# 4 KiB clusters (mkfs.exfat -c 4K) filled through the FUSE exFAT driver with a tree of mixed
# real files (scripts/make-formatted-media.sh tree: photos, text, documents, tables, blobs),
# then quick-formatted with mkfs.exfat -c 4K over it. Read from the page cache in turns, in the
# same run, by `dd bs=1M` (the raw-read limit), by our full scan
# (`norvale-cli scan --mode full --restart -q`) and by PhotoRec (every family, whole space,
# writing its files, as in bench/lib.sh); the best of RUNS runs counts. Then how many of the
# card's files each tool got back byte-exact: a recovery of ours
# (`norvale-cli recover --mode full --restart -q`) and PhotoRec's folder of its last run.
# The card and its tree (for the byte-exact count) are made once, as root (a loop device and a
# FUSE mount), and kept in out/bench; reruns use them.
# Usage: bench/exfat_full/run.sh [BUILD_DIR] [RUNS]
#   RUNS defaults to $RUNS or 3; FULL_BENCH_MIB sets the card's size (default 1024);
#   temporary files under $BENCH_TMP or /tmp.
set -euo pipefail
# shellcheck source=bench/lib.sh
. "$(dirname "$0")/../lib.sh"
bench_init "${1:-build}"
runs=${2:-${RUNS:-3}}
mib=${FULL_BENCH_MIB:-1024}
make_media="$root/scripts/make-formatted-media.sh"
need_cli
need_peers photorec mkfs.exfat mount.exfat-fuse convert

cache="$root/out/bench"
img="$cache/exfat_full-$mib.img"
tree="$cache/exfat_full-$mib.tree"
mkdir -p "$cache"

# The card: TREE copied in through the FUSE driver on a loop device, then the volume
# quick-formatted with the same cluster size (new allocation bitmap, up-case table and empty
# root folder; the data area left as it was). Made under a temporary name.
make_exfat_card() {  # image size-mib tree
    local image=$1 size=$2 src=$3 mnt loop
    if [ "$(id -u)" != 0 ]; then
        echo "making $image needs root (a loop device and a FUSE mount)" >&2
        exit 1
    fi
    mnt=$(mktemp -d)
    rm -f "$image.tmp"
    truncate -s "${size}M" "$image.tmp"
    mkfs.exfat -c 4K -L CARD "$image.tmp" >/dev/null
    loop=$(losetup -f --show "$image.tmp")
    # shellcheck disable=SC2064  # the names are fixed now
    trap "umount '$mnt' 2>/dev/null; losetup -d '$loop' 2>/dev/null; rmdir '$mnt'" EXIT
    mount.exfat-fuse "$loop" "$mnt"
    cp -r "$src"/. "$mnt"/
    umount "$mnt"
    losetup -d "$loop"
    rmdir "$mnt"
    trap - EXIT
    mkfs.exfat -c 4K -L CARD "$image.tmp" >/dev/null
    mv "$image.tmp" "$image"
}

if [ ! -f "$img" ] || [ ! -d "$tree" ]; then
    echo "making $img (a tree of real files, quick-formatted; a few minutes)..." >&2
    start=$(now)
    files=$(mktemp -d)
    rm -rf "$tree" "$tree.tmp" "$img"
    "$root/scripts/make-carve-image.py" files "$files"
    "$make_media" tree "$files" "$tree.tmp" $((mib * 90 / 100))
    rm -rf "$files"
    make_exfat_card "$img" "$mib" "$tree.tmp"
    mv "$tree.tmp" "$tree"
    printf 'made in %.0f s\n' "$(echo "$(now) - $start" | bc -l)" >&2
fi

work=$(bench_tmp)
bench_cleanup_on_exit "$work"
export XDG_DATA_HOME="$work/xdg" XDG_CONFIG_HOME="$work/xdg" LC_ALL=C.UTF-8
mkdir -p "$work/logs"
tree_files=$(find "$tree" -type f | wc -l)
sync
cat "$img" >/dev/null  # every tool reads the card from the page cache

race_dd_ours_photorec "$work" "$img" "$runs" "$cli" scan --mode full --restart -q "$img"

# Byte-exact: PhotoRec's files of its last run, and a recovery of ours.
exact_of() { (cd "$tree" && find . -type f) | count_exact "$tree" "$1"; }  # outdir
pr_exact=$(exact_of "$work/photorec")
rm -rf "$work/photorec" "$work/xdg" "$work/ours"
if ! "$cli" recover --mode full --restart -q "$img" --to "$work/ours" \
    >"$work/logs/recover.out" 2>&1; then
    echo "'norvale-cli recover' failed:" >&2
    cat "$work/logs/recover.out" >&2
    exit 1
fi
ours_exact=$(exact_of "$work/ours")
ours_written=$(count_files "$work/ours")
rm -rf "$work/ours"

printf 'card: %s MiB exFAT (4 KiB clusters) holding %s real files (%s MiB), quick-formatted; in the page cache; best of %s runs\n' \
    "$mib" "$tree_files" "$(($(du -sb "$tree" | cut -f1) / 1048576))" "$runs"
print_race "$(stat -c %s "$img")" "norvale-cli scan --mode full"
printf 'byte-exact of the card'"'"'s %s files: ours %s (recover --mode full, %s files written), PhotoRec %s\n' \
    "$tree_files" "$ours_exact" "$ours_written" "$pr_exact"
if [ "$pr_exact" -gt 0 ]; then
    printf 'byte-exact ours/PhotoRec: %.2f (above 1: ours got more back)\n' \
        "$(echo "$ours_exact / $pr_exact" | bc -l)"
fi

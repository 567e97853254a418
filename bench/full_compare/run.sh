#!/usr/bin/env bash
# Files recovered from formatted media by the full scan, ours against PhotoRec and TestDisk on
# the same images. Each medium is a volume of about 256 MiB filled with a tree of real files
# (every carvable family of scripts/make-carve-image.py, copied into folders with long names,
# plus text, CSV, random blobs and photos of each folder's own; see
# scripts/make-formatted-media.sh), written with mtools or through an ntfs-3g mount, then
# quick-formatted with mkfs.fat / mkntfs -Q over it:
#   fat32         FAT32, 2 KiB clusters, reformatted the same
#   fat32-s4-s1   FAT32 written with 2 KiB clusters, reformatted with 512-byte clusters
#   fat32-s1-s4   FAT32 written with 512-byte clusters, reformatted with 2 KiB clusters
#   fat16-fat32   a FAT16 card (4 KiB clusters) reformatted as FAT32 (mkfs.fat's default)
#   ntfs          NTFS, 4 KiB clusters, reformatted the same
#   ntfs-c1k      NTFS written with 1 KiB clusters, reformatted with 4 KiB clusters
# Tools: `norvale-cli recover --mode full`, PhotoRec (every family, whole space, as in
# bench/lib.sh) and TestDisk's undelete with every file copied (`/cmd IMAGE
# partition_none,advanced,undelete,filecopy`): it reads only the file system the format left,
# so it shows what the volume still lists. Per tool (bench/full_compare/score_fs.py): files
# recovered byte-exact, byte-exact under their original name, partial, missed, extra copies,
# false positives; then the faults of ours. Prints Markdown and keeps it in
# bench/full_compare/last-result.md.
# Usage: bench/full_compare/run.sh [BUILD_DIR]
#   FULL_COMPARE_MEDIA: a space-separated subset of the media above (default all);
#   temporary files under $BENCH_TMP or /tmp.
set -euo pipefail
# shellcheck source=bench/lib.sh
. "$(dirname "$0")/../lib.sh"
bench_init "${1:-build}"
here="$root/bench/full_compare"
make_media="$root/scripts/make-formatted-media.sh"
need_cli
need_peers photorec testdisk mkfs.fat mcopy mkntfs ntfs-3g convert

work=$(bench_tmp)
bench_cleanup_on_exit "$work"
export XDG_DATA_HOME="$work/xdg" XDG_CONFIG_HOME="$work/xdg" LC_ALL=C.UTF-8
mkdir -p "$work/logs"

# name | kind | first format | the quick format over it | what the medium is
media_table="fat32|fat|-F 32 -s 4|-F 32 -s 4|FAT32, 2 KiB clusters, quick-formatted the same
fat32-s4-s1|fat|-F 32 -s 4|-F 32 -s 1|FAT32 with 2 KiB clusters, quick-formatted with 512-byte clusters
fat32-s1-s4|fat|-F 32 -s 1|-F 32 -s 4|FAT32 with 512-byte clusters, quick-formatted with 2 KiB clusters
fat16-fat32|fat|-F 16|-F 32|FAT16 card (4 KiB clusters) quick-formatted as FAT32 (512-byte clusters)
ntfs|ntfs|-c 4096|-c 4096|NTFS, 4 KiB clusters, quick-formatted the same (mkntfs -Q)
ntfs-c1k|ntfs|-c 1024|-c 4096|NTFS with 1 KiB clusters, quick-formatted with 4 KiB clusters"
wanted=${FULL_COMPARE_MEDIA:-$(cut -d'|' -f1 <<<"$media_table" | tr '\n' ' ')}

echo "making the tree of real files in $work..." >&2
"$root/scripts/make-carve-image.py" files "$work/files"
"$make_media" tree "$work/files" "$work/tree" 230

declare -A secs
run_tool() {  # label command...   (runs in the tool's output folder)
    local label=$1 s e
    shift
    s=$(now)
    (cd "$work/out/$label" && "$@" </dev/null >"$work/logs/$label.out" 2>&1) ||
        echo "$label exited with $? (its output: $work/logs/$label.out)" >&2
    e=$(now)
    secs[$label]=$(printf '%.1f' "$(echo "$e - $s" | bc -l)")
}

result="$here/last-result.md"
{
    printf '## Formatted media: ours against PhotoRec %s and TestDisk %s, %s\n\n' \
        "$(photorec_version)" "$(testdisk_version)" "$(date -u +%Y-%m-%d)"
    printf 'Each volume held the same tree of %s files (%s MiB) before the quick format.\n' \
        "$(find "$work/tree" -type f | wc -l)" "$(($(du -sb "$work/tree" | cut -f1) / 1048576))"
} >"$result"

while IFS='|' read -r name kind first second what; do
    [[ " $wanted " == *" $name "* ]] || continue
    echo "== $name: $what" >&2
    img="$work/$name.img"
    "$make_media" "$kind" "$img" 256 "$work/tree" "$first" "$second"
    sync
    rm -rf "$work/out" "$work/xdg"
    mkdir -p "$work/out/ours" "$work/out/photorec" "$work/out/testdisk"
    run_tool ours "$cli" recover --mode full --restart -q "$img" --to "$work/out/ours"
    run_tool photorec photorec_carve "$img" "$work/out/photorec"
    rm -f "$work/out/photorec/photorec.log"
    run_tool testdisk testdisk_copy_all "$img"
    {
        printf '\n### %s: %s\n\n' "$name" "$what"
        # shellcheck disable=SC2016  # Markdown code spans
        printf 'Formats: `%s %s`, then `%s %s` over it.\n\n' \
            "$([ "$kind" = fat ] && echo mkfs.fat || echo mkntfs -Q)" "$first" \
            "$([ "$kind" = fat ] && echo mkfs.fat || echo mkntfs -Q -F)" "$second"
        python3 "$here/score_fs.py" "$work/tree" "norvale-cli full=$work/out/ours" \
            "PhotoRec=$work/out/photorec" "TestDisk undelete=$work/out/testdisk"
        printf '\nSeconds: ours %s, PhotoRec %s, TestDisk %s.\n' "${secs[ours]}" \
            "${secs[photorec]}" "${secs[testdisk]}"
    } >>"$result"
    rm -f "$img"
done <<<"$media_table"
cat "$result"

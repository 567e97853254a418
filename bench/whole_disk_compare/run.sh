#!/usr/bin/env bash
# Deleted files recovered byte-exact and with their names from whole-disk images (a DOS table
# with FAT32, NTFS and a logical FAT16; a GPT with FAT32 and NTFS; see
# scripts/make-whole-disk-images.sh), ours against The Sleuth Kit. Ours: one `norvale-cli
# recover IMAGE` of the whole image, no partition chosen; each partition's files are looked for
# under its "Partition N (...)" folder. The Sleuth Kit: `mmls` for the volumes, then `fls -rd
# -p` and `icat` at each volume's offset. One row per partition, one per image, one in total.
# Usage: bench/whole_disk_compare/run.sh [BUILD_DIR]   (temporary files under $BENCH_TMP or /tmp)
set -euo pipefail
# shellcheck source=bench/lib.sh
. "$(dirname "$0")/../lib.sh"
bench_init "${1:-build}"
need_cli
for tool in mmls fls icat; do
    command -v "$tool" >/dev/null || { echo "$tool missing (sleuthkit)" >&2; exit 1; }
done
score="$root/bench/whole_disk_compare/score.py"

work=$(bench_tmp)
bench_cleanup_on_exit "$work"
export XDG_DATA_HOME="$work/xdg" XDG_CONFIG_HOME="$work/xdg" LC_ALL=C.UTF-8
media="$work/media"
"$root/scripts/make-whole-disk-images.sh" "$media" >/dev/null
expected="$media/expected.tsv"

# Every deleted file and folder The Sleuth Kit lists in the volume at sector OFFSET, written
# with icat under OUTDIR at the path fls gives it.
tsk_volume() {  # image offset outdir
    local type inode path dest
    # A volume fls cannot read (no file system) lists nothing.
    { fls -o "$2" -rd -p "$1" 2>/dev/null || true; } |
        sed -nE 's/^([^ ]+) [*] ([0-9-]+)(\([^)]*\))?:\t(.*)$/\1\t\2\t\4/p' |
        while IFS=$'\t' read -r type inode path; do
            case "$type" in */d) continue ;; esac
            dest="$3/$path"
            [ -e "$dest" ] && dest="$dest.$inode"
            mkdir -p "$(dirname "$dest")"
            icat -o "$2" "$1" "$inode" >"$dest" 2>/dev/null || true
        done
}

# Our folder for partition N under OUTDIR: "Partition N" or "Partition N (...)".
ours_folder() {  # outdir n
    find "$1" -mindepth 1 -maxdepth 1 -type d \( -name "Partition $2" -o -name "Partition $2 (*" \) |
        head -n 1
}

row() { printf '%-5s %-5s %-6s %7s | %5s %5s %5s | %5s %5s %5s\n' "$@"; }
row "" "" "" "" ours ours ours tsk tsk tsk
row image part fs deleted files exact named files exact named
declare -A sum=()
for image in mbr gpt; do
    img="$media/$image.img"
    ours="$work/ours-$image"
    tsk="$work/tsk-$image"
    mkdir -p "$tsk"
    "$cli" recover "$img" --to "$ours" -q >"$work/ours-$image.log" 2>&1 || true
    mkdir -p "$ours"
    # The volumes mmls finds (allocated entries only), each named by the partition number the
    # table gives it when it starts where one of ours does.
    while read -r start; do
        start=$((10#$start))
        part=$(awk -F'\t' -v i="$image" -v s="$start" '$1 == i && $3 == s { print $2 }' \
            "$media/partitions.tsv")
        tsk_volume "$img" "$start" "$tsk/p${part:-at$start}"
    done < <(mmls -a "$img" | awk '$2 ~ /^[0-9]+:[0-9]+$|^[0-9]+$/ && $3 ~ /^[0-9]+$/ { print $3 }')
    while IFS=$'\t' read -r _ part _ _ fs _; do
        folder=$(ours_folder "$ours" "$part")
        read -r n of oe on < <("$score" "$expected" "$image" "$part" "${folder:-/nonexistent}")
        read -r _ tf te tn < <("$score" "$expected" "$image" "$part" "$tsk/p$part")
        row "$image" "$part" "${fs:--}" "$n" "$of" "$oe" "$on" "$tf" "$te" "$tn"
    done < <(awk -F'\t' -v i="$image" '$1 == i' "$media/partitions.tsv")
    read -r n of oe on < <("$score" "$expected" "$image" all "$ours")
    read -r _ tf te tn < <("$score" "$expected" "$image" all "$tsk")
    row "$image" all "" "$n" "$of" "$oe" "$on" "$tf" "$te" "$tn"
    for k in n of oe on tf te tn; do sum[$k]=$((${sum[$k]:-0} + ${!k})); done
done
row total "" "" "${sum[n]}" "${sum[of]}" "${sum[oe]}" "${sum[on]}" "${sum[tf]}" "${sum[te]}" "${sum[tn]}"
echo "exact: a byte-identical copy under any name; named: under the file's own name."
echo "Fragmented FAT files (found again only by skipping the clusters live files hold):" \
    "$(awk -F'\t' '$6 == "fragmented"' "$expected" | wc -l) of ${sum[n]}."
for image in mbr gpt; do
    if grep -q . "$work/ours-$image.log"; then
        echo "norvale-cli on $image.img said:"
        sed 's/^/  /' "$work/ours-$image.log" | tail -n 5
    fi
done

#!/usr/bin/env bash
# Files recovered by signature carving from raw images with no file system, ours against
# PhotoRec, foremost and scalpel on the same images. Each image holds one real file of every
# carvable family in several sizes (written by ImageMagick, ffmpeg, Ghostscript, zip, 7z, gzip,
# gcab, gsf, sqlite3 and the font packages; see scripts/make-carve-image.py), each on a sector
# boundary, with gaps of zeros, of random bytes or none between them, and one JPEG in two
# pieces around another file; the two images differ in order, gaps and the JPEG split. Per
# tool: files recovered byte-exact, files only partly recovered (an output starts like the
# file but differs), false positives (outputs that start like no file of the image, also per
# twenty files) and outputs written. Prints per image the Markdown table, the state of every
# file per tool and our false positives; keeps them in bench/carve_compare/last-result.md.
# Usage: bench/carve_compare/run.sh [BUILD_DIR]   (temporary files under $BENCH_TMP or /tmp)
set -euo pipefail
# shellcheck source=bench/lib.sh
. "$(dirname "$0")/../lib.sh"
bench_init "${1:-build}"
here="$root/bench/carve_compare"
need_cli
need_peers photorec foremost scalpel

work=$(bench_tmp)
bench_cleanup_on_exit "$work"
export XDG_DATA_HOME="$work/xdg" XDG_CONFIG_HOME="$work/xdg"
mkdir -p "$work/logs"

"$root/scripts/make-carve-image.py" files "$work/files"

# scalpel: Debian's configuration with every rule of the common types switched on (it ships
# them all commented out), the noisy QuickTime needles left off; its PNG needle starts one byte
# into the file, so the full signature is added.
scalpel_types='gif|jpg|png|bmp|tif|avi|mpg|fws|doc|pst|dbx|pdf|wav|ra|zip'
sed -E -e "s/^#[[:space:]]*(($scalpel_types)[[:space:]]+y[[:space:]])/\1/" \
    -e 's/^#[[:space:]]*(mov[[:space:]]+y[[:space:]]+[0-9]+[[:space:]]+[?]{4}(moov|mdat))/\1/' \
    /etc/scalpel/scalpel.conf >"$work/scalpel.conf"
printf '\tpng\ty\t20000000\t\\x89PNG\\x0d\\x0a\\x1a\\x0a\tIEND\\xae\\x42\\x60\\x82\n' \
    >>"$work/scalpel.conf"

declare -A secs
run_tool() {  # label command...
    local label=$1 s e
    shift
    s=$(now)
    (cd "$work/logs" && "$@" </dev/null >"$work/logs/$label.out" 2>&1) ||
        echo "$label exited with $? (its output: $work/logs/$label.out)" >&2
    e=$(now)
    secs[$label]=$(printf '%.1f' "$(echo "$e - $s" | bc -l)")
}

result="$here/last-result.md"
: >"$result"
for variant in 1 2; do
    img="$work/carve$variant.img"
    manifest="$work/manifest$variant.tsv"
    out="$work/out$variant"
    mkdir -p "$out/ours" "$out/photorec" "$out/foremost" "$out/scalpel"
    "$root/scripts/make-carve-image.py" compare "$work/files" "$img" "$manifest" "$variant"

    run_tool ours "$cli" recover "$img" --mode carve --to "$out/ours" -q
    # PhotoRec on the whole image (no partition table), every file family, whole space scanned.
    run_tool photorec photorec_carve "$img" "$out/photorec"
    run_tool foremost foremost -Q -t all -i "$img" -o "$out/foremost"
    run_tool scalpel scalpel -c "$work/scalpel.conf" -o "$out/scalpel" "$img"

    {
        printf '## Carving, image %s: %s files in a %s MiB image, %s\n\n' "$variant" \
            "$(wc -l <"$manifest")" "$(($(stat -c %s "$img") / 1048576))" "$(date -u +%Y-%m-%d)"
        python3 "$here/score.py" "$manifest" "$work/files" \
            "norvale-cli carve=$out/ours" "PhotoRec $(photorec_version)=$out/photorec" \
            "foremost=$out/foremost" "scalpel=$out/scalpel"
        printf '\nSeconds per tool: ours %s, PhotoRec %s, foremost %s, scalpel %s.\n\n' \
            "${secs[ours]}" "${secs[photorec]}" "${secs[foremost]}" "${secs[scalpel]}"
    } >>"$result"
    rm -f "$img"
done
cat "$result"

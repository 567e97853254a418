#!/usr/bin/env bash
# Carving speed: one 2 GiB raw image of mixed content (real files of every carvable family
# repeated at random sector offsets, random bytes, zeros, text; see scripts/make-carve-image.py)
# read from the page cache by `dd bs=1M` (the raw-read limit), by our sector pass
# (`norvale-cli scan --mode carve`) and by PhotoRec (every family on, whole space, writing its
# files to a temporary folder), taking turns, in the same run; the best of RUNS runs counts.
# Usage: bench/carve/run.sh [BUILD_DIR] [RUNS]
#   RUNS defaults to $RUNS or 3; CARVE_BENCH_MIB sets the image size (default 2048);
#   the image and the outputs live in a temporary folder under $BENCH_TMP or /tmp.
set -euo pipefail
# shellcheck source=bench/lib.sh
. "$(dirname "$0")/../lib.sh"
bench_init "${1:-build}"
runs=${2:-${RUNS:-3}}
mib=${CARVE_BENCH_MIB:-2048}
need_cli
need_peers photorec

work=$(bench_tmp)
bench_cleanup_on_exit "$work"
export XDG_DATA_HOME="$work/xdg" XDG_CONFIG_HOME="$work/xdg"
img="$work/mixed.img"
mkdir -p "$work/logs"

echo "making a $mib MiB image of mixed content in $work..." >&2
"$root/scripts/make-carve-image.py" files "$work/files"
"$root/scripts/make-carve-image.py" mixed "$work/files" "$img" "$mib"
rm -rf "$work/files"
sync
cat "$img" >/dev/null  # every tool reads the image from the page cache

# Each timed run starts from the same state: no scan log of ours, an empty PhotoRec folder,
# nothing left to write back from the previous run.
fresh() {
    rm -rf "$work/xdg" "$work/photorec" "$work/logs/photorec.log"
    mkdir -p "$work/photorec"
    sync
}
timed() {  # output-file command...
    local to=$1 s e
    shift
    fresh
    s=$(now)
    if ! (cd "$work/logs" && "$@" </dev/null >"$to" 2>&1); then
        echo "'$*' failed:" >&2
        cat "$to" >&2
        exit 1
    fi
    e=$(now)
    echo "$e - $s" | bc -l
}

declare -A times
for _ in $(seq 1 "$runs"); do
    times[dd]+="$(timed "$work/logs/dd.out" dd if="$img" of=/dev/null bs=1M) "
    times[ours]+="$(timed "$work/logs/ours.out" "$cli" scan "$img" --mode carve -q) "
    times[photorec]+="$(timed "$work/logs/photorec.out" photorec_carve "$img" "$work/photorec") "
done
best_of() { tr ' ' '\n' <<<"${times[$1]}" | grep . | best; }
dd_t=$(best_of dd)
ours_t=$(best_of ours)
pr_t=$(best_of photorec)
ours_files=$(sed -n 's/.*: \([0-9]*\) items\{0,1\} found.*/\1/p' "$work/logs/ours.out")
pr_files=$(find "$work/photorec" -type f ! -name report.xml | wc -l)

size=$(stat -c %s "$img")
mbs() { echo "$size / 1048576 / $1" | bc -l; }
printf 'image: %s MiB of mixed content, in the page cache; best of %s runs\n' "$mib" "$runs"
printf '%-36s %9s %9s %9s\n' tool "best [s]" "MB/s" files
printf '%-36s %9.3f %9.1f %9s\n' "dd bs=1M (raw read)" "$dd_t" "$(mbs "$dd_t")" -
printf '%-36s %9.3f %9.1f %9s\n' "norvale-cli scan --mode carve" "$ours_t" "$(mbs "$ours_t")" \
    "${ours_files:-?}"
printf '%-36s %9.3f %9.1f %9s\n' "PhotoRec $(photorec_version) (writes files)" "$pr_t" \
    "$(mbs "$pr_t")" "$pr_files"
printf 'speed ours/PhotoRec: %.2f (above 1: ours faster)\n' "$(echo "$pr_t / $ours_t" | bc -l)"
printf 'speed ours/dd: %.2f (1 would be the raw-read limit)\n' "$(echo "$dd_t / $ours_t" | bc -l)"

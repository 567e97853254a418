#!/usr/bin/env bash
# Imaging speed: copies one 2 GiB file of random data with norvale-cli image (plain and
# --rescue), with `dd bs=64K` and with GNU ddrescue, in the same run. Every copy is timed until
# its data is on disk (`sync FILE` after the tool; our copier flushes the image itself), the
# source is read once beforehand so every tool reads it from the page cache, and the best of
# RUNS runs counts.
# Usage: bench/image/run.sh [BUILD_DIR] [RUNS]
set -euo pipefail
# shellcheck source=bench/lib.sh
. "$(dirname "$0")/../lib.sh"
bench_init "${1:-build}"
runs=${2:-3}
work="$root/out/bench"
src="$work/random-2g.bin"
dst="$work/image-bench.img"
size=$((2 * 1024 * 1024 * 1024))
mkdir -p "$work"

need_cli
command -v ddrescue >/dev/null || { echo "ddrescue missing (Debian package gddrescue)" >&2; exit 1; }

# Random data, made once and kept: a sparse or repetitive file would measure the file system's
# shortcuts rather than copying.
if [ ! -f "$src" ] || [ "$(stat -c %s "$src")" -ne "$size" ]; then
    echo "making $src (2 GiB of random data, once)..."
    head -c "$size" /dev/urandom > "$src.tmp"
    mv "$src.tmp" "$src"
fi
cat "$src" > /dev/null

cleanup() { rm -f "$dst" "$dst.map" "$dst.map.tmp" "$work/ddrescue.map"; }
trap cleanup EXIT

# Wall time of one copy made by the command in "$@"; the destination is removed and pending
# writes are flushed first, so every copy starts from the same state.
time_copy() {
    cleanup
    sync
    local s e
    s=$(now)
    "$@" >/dev/null 2>&1
    sync "$dst"
    e=$(now)
    cmp -s "$src" "$dst" || { echo "copy by '$*' differs from the source" >&2; exit 1; }
    echo "$e - $s" | bc -l
}

export XDG_DATA_HOME="$work/xdg-data" XDG_CONFIG_HOME="$work/xdg-config"
# The tools take turns, so a slow spell of the disk (other work on the machine) hits all of
# them alike rather than one tool's every run.
declare -A times
for _ in $(seq 1 "$runs"); do
    times[dd]+="$(time_copy dd if="$src" of="$dst" bs=64K status=none) "
    times[ours]+="$(time_copy "$cli" image "$src" --to "$dst" -q) "
    times[rescue]+="$(time_copy "$cli" image "$src" --to "$dst" --rescue -q) "
    times[ddrescue]+="$(time_copy ddrescue -q "$src" "$dst" "$work/ddrescue.map") "
done
best_of() { tr ' ' '\n' <<<"${times[$1]}" | grep . | best; }
dd_t=$(best_of dd)
ours_t=$(best_of ours)
rescue_t=$(best_of rescue)
ddr_t=$(best_of ddrescue)

mbs() { echo "$size / 1048576 / $1" | bc -l; }
printf 'source: %s (2 GiB random), best of %s runs, timed until the image is on disk\n' "$src" "$runs"
printf '%-34s %9s %10s %12s\n' "tool" "best [s]" "MB/s" "time / dd"
row() { printf '%-34s %9.3f %10.1f %12.3f\n' "$1" "$2" "$(mbs "$2")" "$(echo "$2 / $dd_t" | bc -l)"; }
row "dd bs=64K" "$dd_t"
row "norvale-cli image" "$ours_t"
row "norvale-cli image --rescue" "$rescue_t"
row "ddrescue" "$ddr_t"
ratio=$(echo "$ours_t / $dd_t" | bc -l)
if [ "$(echo "$ratio <= 1.10" | bc -l)" -eq 1 ]; then
    printf 'norvale-cli image is within 10 %% of dd (%.3f)\n' "$ratio"
else
    printf 'norvale-cli image is more than 10 %% slower than dd (%.3f)\n' "$ratio"
fi

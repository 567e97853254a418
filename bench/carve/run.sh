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

race_dd_ours_photorec "$work" "$img" "$runs" "$cli" scan "$img" --mode carve -q
printf 'image: %s MiB of mixed content, in the page cache; best of %s runs\n' "$mib" "$runs"
print_race "$(stat -c %s "$img")" "norvale-cli scan --mode carve"

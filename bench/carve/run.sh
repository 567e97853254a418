#!/usr/bin/env bash
# Carving speed and memory on two raw cards with no file system (scripts/make-carve-image.py):
# a packed one, real files of every carvable family back to back with the small and medium
# ones dominating (thousands per GiB), and a sparse one, those files once each at a few
# scattered places and the rest zeros. Each card is read from the page cache, in turns and in
# the same run, by `dd bs=4M` (the raw-read limit), by our sector pass alone
# (`norvale-cli scan --mode carve`) and by our recovery (`recover --mode carve --to DIR`: the
# pass and writing the files, as PhotoRec does), each with one thread and with one per core, and
# by PhotoRec (every family on, whole space, writing its files to a temporary folder); the best
# of RUNS runs counts. Our peak resident memory (GNU time -v) is the largest of our runs.
# Usage: bench/carve/run.sh [BUILD_DIR] [RUNS]
#   RUNS defaults to $RUNS or 3; CARVE_PACKED_MIB (or CARVE_BENCH_MIB) sets the packed card's
#   size (default 1024), CARVE_SPARSE_MIB the sparse one's (default 4096; 0 skips a card);
#   BENCH_FILES names a folder made by `make-carve-image.py files` to use instead of making one;
#   the cards and the outputs live in a temporary folder under $BENCH_TMP or /tmp (on a
#   memory file system such as BENCH_TMP=/dev/shm the recoveries' times leave the destination
#   disk out: ours flushes its files to the disk before it names them, which on a slow disk
#   takes much of the time).
set -euo pipefail
# shellcheck source=bench/lib.sh
. "$(dirname "$0")/../lib.sh"
bench_init "${1:-build}"
runs=${2:-${RUNS:-3}}
packed_mib=${CARVE_PACKED_MIB:-${CARVE_BENCH_MIB:-1024}}
sparse_mib=${CARVE_SPARSE_MIB:-4096}
need_cli
need_peers photorec /usr/bin/time

work=$(bench_tmp)
bench_cleanup_on_exit "$work"
export XDG_DATA_HOME="$work/xdg" XDG_CONFIG_HOME="$work/xdg" LC_ALL=C.UTF-8
mkdir -p "$work/logs"
files=$(bench_real_files "$work")

machine_line
echo "best of $runs runs; every card read from the page cache"
for kind in packed sparse; do
    mib=$packed_mib
    [ "$kind" = packed ] || mib=$sparse_mib
    [ "$mib" -gt 0 ] || continue
    img="$work/$kind.img"
    echo "making a $mib MiB $kind card in $work..." >&2
    "$root/scripts/make-carve-image.py" "$kind" "$files" "$img" "$mib" "$work/$kind.tsv"
    sync
    cat "$img" >/dev/null  # every tool reads the card from the page cache
    race_threads "$work" "$img" "$runs" carve
    echo
    printf '%s card: %s MiB raw, %s files %s\n' "$kind" "$mib" "$(wc -l <"$work/$kind.tsv")" \
        "$([ "$kind" = packed ] && echo "back to back" || echo "in 8 runs, the rest zeros")"
    print_race_threads "$(stat -c %s "$img")" carve
    rm -rf "$img" "$work/recovered" "$work/photorec"
done

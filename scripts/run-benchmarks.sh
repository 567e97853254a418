#!/usr/bin/env bash
# Runs every benchmark of bench/ against its peer and prints the figures: the C++ ones
# (bench_*) and every executable bench/*/run.sh (FAT, NTFS and exFAT deleted files against The Sleuth
# Kit, imaging against dd and ddrescue, carving against PhotoRec, foremost and scalpel, the full
# scan of formatted FAT, NTFS and exFAT media against PhotoRec).
# Usage: scripts/run-benchmarks.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
# The peer tools are installed only for the benchmarks, not for `make test`.
"$root/scripts/install-deps.sh" --bench
for bin in "$root/$build"/bench/bench_*; do
    [ -x "$bin" ] || continue
    echo "== $(basename "$bin")"
    "$bin"
done
for script in "$root"/bench/*/run.sh; do
    [ -x "$script" ] || continue
    echo "== $(basename "$(dirname "$script")")"
    "$script" "$build"
done

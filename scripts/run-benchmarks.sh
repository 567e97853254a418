#!/usr/bin/env bash
# Runs every benchmark of bench/ against its peer and prints the figures.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
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

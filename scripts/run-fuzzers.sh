#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build for a few seconds each, starting from the seeds
# under tests/fuzz/corpus/<target>/ when there are any.
set -euo pipefail
build=${1:-build-fuzz}
secs=${2:-10}
root=$(cd "$(dirname "$0")/.." && pwd)
status=0
for bin in "$build"/tests/fuzz/fuzz_*; do
    [ -x "$bin" ] || continue
    name=$(basename "$bin")
    work=$(mktemp -d)
    seeds="$root/tests/fuzz/corpus/$name"
    [ -d "$seeds" ] && cp -r "$seeds"/. "$work"/ 2>/dev/null || true
    echo "fuzz: $name for ${secs}s"
    if ! "$bin" -max_total_time="$secs" -max_len=65536 -rss_limit_mb=2048 "$work" >"$work.log" 2>&1; then
        echo "fuzz: $name FAILED"; tail -n 40 "$work.log"; status=1
    fi
    rm -rf "$work" "$work.log"
done
exit $status

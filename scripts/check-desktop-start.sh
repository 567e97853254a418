#!/usr/bin/env bash
# Starts the desktop program offscreen, with data, config and runtime folders of its own, and
# checks how it starts: without MISSING it must still run after 3 s and print no "language file
# not found" line; with MISSING it must say, once, that it did not find that language file. In
# both cases it must exit 0 within 10 s of SIGTERM. What it printed on stderr is shown on a
# failure.
# Usage: scripts/check-desktop-start.sh PROGRAM [MISSING]
set -euo pipefail

program=${1:?usage: check-desktop-start.sh PROGRAM [MISSING]}
expected=${2:-}
line='norvale: language file not found: '

tmp=$(mktemp -d)
pid=""
cleanup() {
    if [ -n "$pid" ]; then kill -KILL "$pid" 2>/dev/null || true; fi
    rm -rf "$tmp"
}
trap cleanup EXIT
fail() {
    echo "check-desktop-start: $program: $*" >&2
    cat "$tmp/err" >&2
    exit 1
}

mkdir -p "$tmp/data" "$tmp/config" "$tmp/run"
chmod 700 "$tmp/run"
env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen XDG_DATA_HOME="$tmp/data" \
    XDG_CONFIG_HOME="$tmp/config" XDG_RUNTIME_DIR="$tmp/run" "$program" 2>"$tmp/err" &
pid=$!

if [ -z "$expected" ]; then
    sleep 3
    kill -0 "$pid" 2>/dev/null || fail "ended within 3 s"
    grep -qF "$line" "$tmp/err" && fail "did not find its language file"
else
    for _ in $(seq 50); do
        grep -qF "$line" "$tmp/err" && break
        sleep 0.1
    done
    if [ "$(grep -cF "$line" "$tmp/err")" != 1 ] || ! grep -qxF "$line$expected" "$tmp/err"; then
        fail "did not say (once) that it missed $expected"
    fi
fi

kill -TERM "$pid" 2>/dev/null || fail "ended before SIGTERM"
for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$pid" 2>/dev/null && fail "still runs 10 s after SIGTERM"
status=0
wait "$pid" || status=$?
pid=""
[ $status -eq 0 ] || fail "exit status $status on SIGTERM"

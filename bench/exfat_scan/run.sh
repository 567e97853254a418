#!/usr/bin/env bash
# Deleted-file scan speed on an exFAT image holding 100,000 files, half of them deleted, against
# The Sleuth Kit's `fls -rd` on the same image in the same run. The image is made once (about
# four minutes) with mkfs.exfat and the FUSE exFAT driver on a loop device, which needs root,
# and kept in out/bench. Our side runs when norvale-cli reads exFAT (`norvale-cli detect` says
# so); until then only the peer's figures are printed.
# Usage: bench/exfat_scan/run.sh [BUILD_DIR] [RUNS]
set -euo pipefail
# shellcheck source=bench/lib.sh
. "$(dirname "$0")/../lib.sh"
bench_init "${1:-build}"
runs=${2:-5}
work="$root/out/bench"
img="$work/exfat100k.img"
mkdir -p "$work"
need_peers fls mkfs.exfat mount.exfat-fuse

# A 1 GiB card with 4 KiB clusters: 100 folders x 1000 small files written through the FUSE
# driver, then every second file of each folder deleted. Made under a temporary name.
make_exfat100k() {  # image
    local image=$1 mnt loop
    if [ "$(id -u)" != 0 ]; then
        echo "making $image needs root (a loop device and a FUSE mount)" >&2
        exit 1
    fi
    mnt=$(mktemp -d)
    truncate -s 1G "$image.tmp"
    mkfs.exfat -c 4K -L BENCH "$image.tmp" >/dev/null
    loop=$(losetup -f --show "$image.tmp")
    # shellcheck disable=SC2064  # the names are fixed now
    trap "fusermount -u '$mnt' 2>/dev/null; losetup -d '$loop' 2>/dev/null; rmdir '$mnt'" EXIT
    mount.exfat-fuse "$loop" "$mnt"
    python3 - "$mnt" <<'PY'
import os, sys
m = sys.argv[1]
# Every file is written before any is removed, as on a card that filled up over time.
for d in range(100):
    os.mkdir(os.path.join(m, 'dir%d' % d))
    for i in range(1000):
        with open(os.path.join(m, 'dir%d' % d, 'f%d.txt' % i), 'w') as f:
            f.write('bench file %04d\n' % i)
for d in range(100):
    for i in range(0, 1000, 2):
        os.remove(os.path.join(m, 'dir%d' % d, 'f%d.txt' % i))
PY
    fusermount -u "$mnt"
    losetup -d "$loop"
    rmdir "$mnt"
    trap - EXIT
    mv "$image.tmp" "$image"
}

if [ ! -f "$img" ]; then
    echo "making $img (100 folders x 1000 files, every second file deleted; a few minutes)..."
    start=$(now)
    make_exfat100k "$img"
    printf 'made in %.0f s\n' "$(echo "$(now) - $start" | bc -l)"
fi

export XDG_DATA_HOME="$work/xdg-data" XDG_CONFIG_HOME="$work/xdg-config"

tsk_found=$(fls -rd "$img" | grep -c -v '^[+]*[ ]*d/d' || true)
tsk=$(time_runs "$runs" fls -rd "$img")
ours_reads_exfat=0
if [ -x "$cli" ] && "$cli" detect "$img" 2>/dev/null | grep -Eq '(^|: )exFAT$'; then
    ours_reads_exfat=1
    ours_found=$("$cli" list "$img" --mode deleted -q --json | grep -o '"name"' | wc -l)
    ours=$(time_runs "$runs" "$cli" scan "$img" --mode deleted -q)
fi
rm -rf "$work/xdg-data"

printf 'image: %s (%s)\n' "$img" "$(du -h "$img" | cut -f1)"
printf '%-28s %10s %14s\n' "tool" "best [s]" "deleted found"
if [ "$ours_reads_exfat" = 1 ]; then
    printf '%-28s %10.3f %14s\n' "norvale-cli scan (deleted)" "$ours" "$ours_found"
else
    printf '%-28s %10s %14s\n' "norvale-cli scan (deleted)" "-" "-"
fi
printf '%-28s %10.3f %14s\n' "fls -rd (The Sleuth Kit)" "$tsk" "$tsk_found"
if [ "$ours_reads_exfat" = 1 ]; then
    printf 'ratio ours/fls: %.2f (below 1 means faster)\n' "$(echo "$ours / $tsk" | bc -l)"
else
    echo "norvale-cli ($cli) does not read exFAT in this build: our side not run"
fi

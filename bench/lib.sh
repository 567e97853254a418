# shellcheck shell=bash
# Shell helpers shared by the bench/*/run.sh scripts; sourced, not run.
#   . "$(dirname "$0")/../lib.sh"
#   bench_init "${1:-build}"    sets root, build and cli (the norvale-cli of that build)

# shellcheck disable=SC2034  # root, build and cli are for the sourcing script
bench_init() {
    root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    build=${1:-build}
    case "$build" in
        /*) cli="$build/src/cli/norvale-cli" ;;
        *) cli="$root/$build/src/cli/norvale-cli" ;;
    esac
}

# Stops with a message when norvale-cli of the chosen build is missing.
need_cli() {
    [ -x "$cli" ] || { echo "$cli not built" >&2; exit 1; }
}

# Installs the peer tools the benchmarks compare against (Debian packages, once), then checks
# that each command named is there.
need_peers() {
    "$root/scripts/install-deps.sh" --bench >&2
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null || { echo "$tool missing" >&2; exit 1; }
    done
}

# PhotoRec on a whole image without a partition table: every file family on, the whole space
# scanned, no questions; the files go to OUTDIR/recup_dir.N, its log to the current folder.
photorec_carve() {  # image outdir
    photorec /log /d "$2/recup_dir" /cmd "$1" \
        partition_none,options,fileopt,everything,enable,wholespace,search
}
photorec_version() { photorec /version | sed -n 's/^Version: //p'; }

# The real files the benchmark cards are made of: the folder BENCH_FILES names (made earlier by
# `make-carve-image.py files`), or a fresh one made in WORK; prints its path.
bench_real_files() {  # work
    if [ -n "${BENCH_FILES:-}" ]; then
        [ -d "$BENCH_FILES" ] || { echo "BENCH_FILES: $BENCH_FILES is not a folder" >&2; exit 1; }
        printf '%s\n' "$BENCH_FILES"
    else
        echo "making the real files in $1..." >&2
        "$root/scripts/make-carve-image.py" files "$1/files" >&2
        printf '%s\n' "$1/files"
    fi
}

# A fresh folder for a run's images and outputs under $BENCH_TMP (default /tmp).
bench_tmp() {
    mkdir -p "${BENCH_TMP:-/tmp}"
    mktemp -d "${BENCH_TMP:-/tmp}/norvale-bench.XXXXXX"
}

# Removes the folder when the script ends, unless BENCH_KEEP=1 (then tells where it is).
bench_cleanup_on_exit() {
    bench_work=$1
    if [ "${BENCH_KEEP:-0}" = 1 ]; then
        trap 'echo "kept $bench_work" >&2' EXIT
    else
        trap 'rm -rf "$bench_work"' EXIT
    fi
}

now() { date +%s.%N; }

# The smallest of the numbers on standard input.
best() { sort -g | head -n 1; }

# Wall time of the command in "$@", its output dropped.
time_one() {
    local s e
    s=$(now)
    "$@" >/dev/null 2>&1
    e=$(now)
    echo "$e - $s" | bc -l
}

# Best wall time of RUNS runs of the command in "$@".
time_runs() {  # runs command...
    local runs=$1
    shift
    for _ in $(seq 1 "$runs"); do
        time_one "$@"
    done | best
}

# How many of the files named on standard input (one a line, relative to SRCDIR) have a
# byte-identical copy somewhere under OUTDIR, whatever name the tool gave it.
count_exact() {  # srcdir outdir
    local n=0 name h hashes
    hashes=$(find "$2" -type f -exec sha256sum {} + 2>/dev/null | cut -d' ' -f1)
    while IFS= read -r name; do
        h=$(sha256sum <"$1/$name" | cut -d' ' -f1)
        if grep -qx "$h" <<<"$hashes"; then
            n=$((n + 1))
        fi
    done
    echo "$n"
}

# Non-empty files a tool wrote under a folder.
count_files() { find "$1" -type f -size +0 | wc -l; }

# TestDisk's undelete on a whole image without a partition table, scripted: every file of the
# file system it finds there, live or deleted, copied with its folders into the current folder.
testdisk_copy_all() {  # image
    testdisk /cmd "$1" partition_none,advanced,undelete,filecopy
}
testdisk_version() { testdisk /version | sed -n 's/^Version: //p'; }

# Runs the command in "$@" under GNU time (`time -v`): its output goes to OUTFILE, the figures
# to OUTFILE.time, read back by time_v_rss_kib (peak resident set size, KiB) and time_v_secs
# (wall time, seconds).
run_time_v() {  # output-file command...
    local to=$1
    shift
    if ! /usr/bin/time -v -o "$to.time" "$@" >"$to" 2>&1; then
        echo "'$*' failed (its output: $to)" >&2
        return 1
    fi
}
time_v_rss_kib() { sed -n 's/^[[:space:]]*Maximum resident set size (kbytes): //p' "$1.time"; }
time_v_secs() {
    sed -n 's/^[[:space:]]*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$1.time" |
        awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; print s }'
}

# The number of items a `norvale-cli scan` said it found, from its output file.
found_by_ours() { sed -n 's/.*: \([0-9]*\) items\{0,1\} found.*/\1/p' "$1"; }

# Times, in turns and from the same state each time (no scan log of ours, an empty PhotoRec
# folder, nothing left to write back), `dd bs=1M` over IMAGE (the raw-read limit), our command
# and PhotoRec carving IMAGE into WORK/photorec; RUNS runs each, the best counts. Needs
# XDG_DATA_HOME under WORK. Sets dd_t, ours_t, pr_t (seconds), ours_files and pr_files.
race_dd_ours_photorec() {  # work image runs our-command...
    local work=$1 image=$2 runs=$3
    shift 3
    mkdir -p "$work/logs"
    local -a dd_times=() ours_times=() pr_times=()
    for _ in $(seq 1 "$runs"); do
        dd_times+=("$(race_timed "$work" "$work/logs/dd.out" dd if="$image" of=/dev/null bs=1M)")
        ours_times+=("$(race_timed "$work" "$work/logs/ours.out" "$@")")
        pr_times+=("$(race_timed "$work" "$work/logs/photorec.out" photorec_carve "$image" \
            "$work/photorec")")
    done
    dd_t=$(printf '%s\n' "${dd_times[@]}" | best)
    ours_t=$(printf '%s\n' "${ours_times[@]}" | best)
    pr_t=$(printf '%s\n' "${pr_times[@]}" | best)
    ours_files=$(found_by_ours "$work/logs/ours.out")
    pr_files=$(find "$work/photorec" -type f ! -name report.xml | wc -l)
}
race_timed() {  # work output-file command...
    local work=$1 to=$2 s e
    shift 2
    rm -rf "$work/xdg" "$work/photorec" "$work/logs/photorec.log"
    mkdir -p "$work/photorec"
    sync
    s=$(now)
    if ! (cd "$work/logs" && "$@" </dev/null >"$to" 2>&1); then
        echo "'$*' failed:" >&2
        cat "$to" >&2
        exit 1
    fi
    e=$(now)
    echo "$e - $s" | bc -l
}

# The table of race_dd_ours_photorec's figures for an image of SIZE bytes, our row named LABEL.
print_race() {  # size label
    local size=$1 label=$2
    mbs() { echo "$size / 1048576 / $1" | bc -l; }
    printf '%-40s %9s %9s %9s\n' tool "best [s]" "MB/s" files
    printf '%-40s %9.3f %9.1f %9s\n' "dd bs=1M (raw read)" "$dd_t" "$(mbs "$dd_t")" -
    printf '%-40s %9.3f %9.1f %9s\n' "$label" "$ours_t" "$(mbs "$ours_t")" "${ours_files:-?}"
    printf '%-40s %9.3f %9.1f %9s\n' "PhotoRec $(photorec_version) (writes files)" "$pr_t" \
        "$(mbs "$pr_t")" "$pr_files"
    printf 'speed ours/PhotoRec: %.2f (above 1: ours faster)\n' "$(echo "$pr_t / $ours_t" | bc -l)"
    printf 'speed ours/dd: %.2f (1 would be the raw-read limit)\n' "$(echo "$dd_t / $ours_t" | bc -l)"
}

# A FAT32 image of 256 MiB holding 100 folders x 1000 small files, every second file deleted
# (mkfs.fat and mtools; nothing mounted). Made under a temporary name and renamed when whole.
make_fat100k() {  # image
    local img=$1 src d i
    src=$(mktemp -d)
    for i in $(seq 0 999); do printf 'bench file %04d\n' "$i" > "$src/f$i.txt"; done
    mkfs.fat -C -F 32 -s 1 "$img.tmp" $((256 * 1024)) >/dev/null
    for d in $(seq 0 99); do
        MTOOLS_SKIP_CHECK=1 mmd -i "$img.tmp" "::/dir$d"
        MTOOLS_SKIP_CHECK=1 mcopy -i "$img.tmp" "$src"/* "::/dir$d/"
        MTOOLS_SKIP_CHECK=1 mdel -i "$img.tmp" "::/dir$d/f*[02468].txt"
    done
    rm -rf "$src"
    mv "$img.tmp" "$img"
}

# An NTFS image of SIZE holding DIRS folders x 1000 small files, every second file deleted,
# filled through an ntfs-3g FUSE mount (root, or a user allowed to mount).
make_ntfs_files() {  # image size dirs
    local img=$1 mnt
    mnt=$(mktemp -d)
    truncate -s "$2" "$img.tmp"
    mkntfs -F -Q -q "$img.tmp" >/dev/null 2>&1
    ntfs-3g "$img.tmp" "$mnt" || { rmdir "$mnt"; return 1; }
    python3 - "$mnt" "$3" <<'PY'
import os, sys
m, dirs = sys.argv[1], int(sys.argv[2])
# Every file is written before any is removed: a freed record would be handed out again.
for d in range(dirs):
    os.mkdir(os.path.join(m, 'dir%d' % d))
    for i in range(1000):
        with open(os.path.join(m, 'dir%d' % d, 'f%d.txt' % i), 'w') as f:
            f.write('bench file %04d\n' % i)
for d in range(dirs):
    for i in range(0, 1000, 2):
        os.remove(os.path.join(m, 'dir%d' % d, 'f%d.txt' % i))
PY
    umount "$mnt"
    rmdir "$mnt"
    mv "$img.tmp" "$img"
}

# The machine the figures come from: its core count and CPU model.
machine_line() {
    local model
    model=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
    printf 'machine: %s cores (nproc), %s\n' "$(nproc)" "${model:-unknown CPU}"
}

# Times, in turns and from the same state each time (no scan log of ours, empty destination
# folders, nothing left to write back), RUNS runs each, the best counts:
#   dd      `dd bs=4M` over IMAGE (the raw-read limit)
#   scan1   `norvale-cli scan --mode MODE --threads 1`
#   scanN   the same with the default thread count (one per core)
#   rec1    `norvale-cli recover --mode MODE --threads 1 --to WORK/recovered` (scan and write)
#   recN    the same with the default thread count
#   pr      PhotoRec carving IMAGE into WORK/photorec (it always writes its files)
# Ours run under GNU time; their peak resident memory is the largest of their runs. Needs
# XDG_DATA_HOME under WORK. Sets the associative arrays race_t (seconds), race_files and
# race_rss (KiB) by those row names. WORK/recovered keeps the last recN run's files.
race_threads() {  # work image runs mode
    local work=$1 image=$2 runs=$3 mode=$4 row
    declare -gA race_t=() race_files=() race_rss=()
    local -A times=()
    mkdir -p "$work/logs"
    rm -f "$work"/logs/*.rss  # the peaks of an earlier race in WORK
    for _ in $(seq 1 "$runs"); do
        times[dd]+="$(race_row "$work" dd dd if="$image" of=/dev/null bs=4M) "
        times[scan1]+="$(race_row "$work" scan1 "$cli" scan "$image" --mode "$mode" --restart \
            -q --threads 1) "
        times[scanN]+="$(race_row "$work" scanN "$cli" scan "$image" --mode "$mode" --restart -q) "
        times[rec1]+="$(race_row "$work" rec1 "$cli" recover "$image" --mode "$mode" --restart \
            -q --threads 1 --to "$work/recovered") "
        times[recN]+="$(race_row "$work" recN "$cli" recover "$image" --mode "$mode" --restart \
            -q --to "$work/recovered") "
        times[pr]+="$(race_row "$work" pr photorec_carve "$image" "$work/photorec") "
    done
    for row in dd scan1 scanN rec1 recN pr; do
        # shellcheck disable=SC2086  # a list of numbers
        race_t[$row]=$(printf '%s\n' ${times[$row]} | best)
    done
    race_files[scan1]=$(found_by_ours "$work/logs/scan1.out")
    race_files[scanN]=$(found_by_ours "$work/logs/scanN.out")
    race_files[rec1]=$(cat "$work/logs/rec1.files")
    race_files[recN]=$(count_files "$work/recovered")
    race_files[pr]=$(find "$work/photorec" -type f ! -name report.xml | wc -l)
    for row in scan1 scanN rec1 recN; do
        race_rss[$row]=$(sort -g "$work/logs/$row.rss" | tail -n 1)
    done
}

# One timed run of race_threads' ROW; prints its wall time. Our runs go under GNU time, their
# peak memory is added to WORK/logs/ROW.rss. A recovery that wrote most files but not all
# (exit 1) is told and timed; any other failure stops the script.
race_row() {  # work row command...
    local work=$1 row=$2 s e rc=0
    shift 2
    local to="$work/logs/$row.out"
    rm -rf "$work/xdg"
    case $row in
        rec*) rm -rf "$work/recovered" ;;
        pr) rm -rf "$work/photorec" "$work/logs/photorec.log" && mkdir -p "$work/photorec" ;;
    esac
    [ "$1" != "$cli" ] || set -- /usr/bin/time -v -o "$to.time" "$@"
    sync
    s=$(now)
    (cd "$work/logs" && "$@" </dev/null >"$to" 2>&1) || rc=$?
    e=$(now)
    if [ "$rc" = 1 ] && [ "${row#rec}" != "$row" ]; then
        echo "note: '$*' could not write every file (exit 1); see $to" >&2
    elif [ "$rc" != 0 ]; then
        echo "'$*' failed (exit $rc):" >&2
        cat "$to" >&2
        exit 1
    fi
    [ ! -f "$to.time" ] || time_v_rss_kib "$to" >>"$work/logs/$row.rss"
    [ "$row" != rec1 ] || count_files "$work/recovered" >"$work/logs/rec1.files"
    echo "$e - $s" | bc -l
}

# The table of race_threads' figures for an image of SIZE bytes; MODE names our rows. GB/s is
# decimal (bytes per second / 1e9); "x PhotoRec" is PhotoRec's time over the row's (above 1:
# ours faster), "x dd" dd's time over the row's (1 would be the raw-read limit).
print_race_threads() {  # size mode
    local size=$1 mode=$2 row label t rss ncpu
    ncpu=$(nproc)
    printf '%-44s %9s %8s %8s %10s %6s %9s\n' tool "best [s]" "GB/s" files "x PhotoRec" "x dd" \
        "peak MiB"
    for row in dd scan1 scanN rec1 recN pr; do
        case $row in
            dd) label="dd bs=4M (raw read)" ;;
            scan1) label="ours: scan --mode $mode --threads 1" ;;
            scanN) label="ours: scan --mode $mode ($ncpu threads)" ;;
            rec1) label="ours: recover --mode $mode --threads 1" ;;
            recN) label="ours: recover --mode $mode ($ncpu threads)" ;;
            pr) label="PhotoRec $(photorec_version) (writes files)" ;;
        esac
        t=${race_t[$row]}
        rss=${race_rss[$row]:-}
        printf '%-44s %9.3f %8.2f %8s %10.2f %6.2f %9s\n' "$label" "$t" \
            "$(echo "$size / $t / 1000000000" | bc -l)" "${race_files[$row]:--}" \
            "$(echo "${race_t[pr]} / $t" | bc -l)" "$(echo "${race_t[dd]} / $t" | bc -l)" \
            "$( [ -n "$rss" ] && printf '%.1f' "$(echo "$rss / 1024" | bc -l)" || echo -)"
    done
    echo "(GB/s: bytes/s / 1e9; x PhotoRec: PhotoRec's time / the row's, above 1 ours faster;" \
        "x dd: dd's time / the row's, 1 the raw-read limit; peak MiB: largest resident set)"
}

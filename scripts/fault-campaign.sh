#!/usr/bin/env bash
# Runs norvale-cli against the faults a person meets in practice and prints one table row per
# case: disk full, a stop (SIGINT) during recovery, kill -9 and resume of a full scan, hostile
# names on the card, absurd boot sectors, and fuzzed FAT and NTFS images.
#
#   scripts/fault-campaign.sh BUILD_DIR [--quick] [--runs N] [--keep]
#
# --quick (the default) runs every case once and 8 fuzzed images per file system, a few
# minutes in all; --runs N repeats every case N times (and fuzzes 8*N images per file system).
# --keep leaves the work folder for a look afterwards. Cases that need root (tmpfs) or a tool
# that is missing are reported as skipped. The exit status is 1 when any run failed.
set -uo pipefail

usage() { echo "usage: $0 BUILD_DIR [--quick] [--runs N] [--keep]" >&2; exit 2; }
[ $# -ge 1 ] || usage
build=$1
shift
runs=1
keep=0
while [ $# -gt 0 ]; do
    case $1 in
        --quick) runs=1 ;;
        --runs) [ $# -ge 2 ] || usage; runs=$2; shift ;;
        --keep) keep=1 ;;
        *) usage ;;
    esac
    shift
done
case $runs in '' | *[!0-9]* | 0) usage ;; esac

here=$(cd "$(dirname "$0")/.." && pwd)
cli=$(cd "$build" 2>/dev/null && pwd)/src/cli/norvale-cli
[ -x "$cli" ] || { echo "$0: no norvale-cli in $build (build the norvale-cli target)" >&2; exit 2; }

work=$(mktemp -d /tmp/norvale-faults.XXXXXX)
mounts=()
cleanup() {
    for m in "${mounts[@]+"${mounts[@]}"}"; do umount "$m" 2>/dev/null; done
    if [ $keep -eq 1 ]; then echo "work folder kept: $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT
export LC_ALL=C.UTF-8 TZ=UTC MTOOLS_SKIP_CHECK=1
# The scan logs and settings of every run stay in the work folder.
export XDG_DATA_HOME=$work/home/data XDG_CONFIG_HOME=$work/home/config
mkdir -p "$XDG_DATA_HOME" "$XDG_CONFIG_HOME"

have() { command -v "$1" >/dev/null 2>&1; }
is_root() { [ "$(id -u)" = 0 ]; }

rows=()
any_failed=0
# row CASE RUNS PASSED FAILED NOTES
row() {
    rows+=("$1"$'\t'"$2"$'\t'"$3"$'\t'"$4"$'\t'"$5")
    [ "$4" -gt 0 ] && any_failed=1
    printf '  %-22s %s/%s passed  %s\n' "$1" "$3" "$2" "$5" >&2
}
skip() { row "$1" 0 0 0 "skipped: $2"; }

# Fresh scan-log home, so that one run's saved scans do not answer the next.
fresh_home() {
    rm -rf "$work/home"
    mkdir -p "$XDG_DATA_HOME" "$XDG_CONFIG_HOME"
}

# Number of entries of a JSON array on stdin ("files" counts those that are not folders).
json_count() {
    python3 -c '
import json, sys
try:
    items = json.load(sys.stdin)
except Exception:
    print(-1); sys.exit()
if sys.argv[1] == "files":
    items = [i for i in items if not i.get("folder")]
print(len(items))' "${1:-all}"
}

# Bytes a terminal acts on (C0 but LF, DEL, C1 as UTF-8, and bytes that are no UTF-8) in $1.
raw_controls() {
    python3 - "$1" <<'PY'
import sys
data = open(sys.argv[1], 'rb').read()
bad = sum(1 for b in data if (b < 0x20 and b != 0x0A) or b == 0x7F)
text = data.decode('utf-8', errors='replace')
bad += sum(1 for c in text if 0x80 <= ord(c) <= 0x9F or c == '\ufffd')
print(bad)
PY
}

# Every regular file below $1 is byte for byte one of the files in $2.
only_whole_copies() {
    python3 - "$1" "$2" <<'PY'
import hashlib, os, sys
def digests(root):
    out = {}
    for d, _, files in os.walk(root):
        for f in files:
            p = os.path.join(d, f)
            if os.path.isfile(p) and not os.path.islink(p):
                out[p] = hashlib.sha256(open(p, 'rb').read()).hexdigest()
    return out
good = set(digests(sys.argv[2]).values())
bad = [p for p, h in digests(sys.argv[1]).items() if h not in good]
for p in bad[:3]:
    print(os.path.relpath(p, sys.argv[1]), os.path.getsize(p))
sys.exit(1 if bad else 0)
PY
}

# ---------------------------------------------------------------------------------------------
# Media
echo "norvale fault campaign: $cli, $runs run(s) per case, work folder $work" >&2
fat_tools=1
for t in mkfs.fat mcopy mdel mmd; do have "$t" || fat_tools=0; done
ntfs_tools=1
for t in mkntfs ntfscp; do have "$t" || ntfs_tools=0; done

demo=$work/demo.img
originals=$work/originals
if [ $fat_tools -eq 1 ]; then
    "$here/scripts/make-demo-card.sh" "$demo" "$originals" >/dev/null || fat_tools=0
fi

# A FAT32 card with many deleted files: long enough a recovery to stop in the middle.
many=$work/many.img
many_originals=$work/many-originals
make_many() {
    mkdir -p "$many_originals"
    local i
    for i in $(seq -w 1 240); do
        head -c $((150000 + 10#$i * 997)) /dev/urandom >"$many_originals/clip_$i.bin"
    done
    mkfs.fat -C -F 32 "$many" 98304 >/dev/null &&
        mcopy -i "$many" "$many_originals"/* ::/ &&
        mdel -i "$many" '::/clip_*.bin'
}
if [ $fat_tools -eq 1 ]; then make_many || fat_tools=0; fi

# An NTFS volume holding the demo card's files, some deleted.
ntfs=$work/ntfs.img
make_ntfs() {
    truncate -s 32M "$ntfs" && mkntfs -F -Q -q "$ntfs" >/dev/null 2>&1 || return 1
    local f
    for f in "$originals"/*; do ntfscp -q "$ntfs" "$f" "/$(basename "$f")" >/dev/null 2>&1 || return 1; done
}
if [ $ntfs_tools -eq 1 ] && [ -d "$originals" ]; then make_ntfs || ntfs_tools=0; fi
# The committed NTFS fixture as a second fuzzing base.
fixture_ntfs=$work/ntfs_card.img
gunzip -c "$here/tests/fixtures/ntfs/ntfs_card.img.gz" >"$fixture_ntfs" 2>/dev/null || rm -f "$fixture_ntfs"

# ---------------------------------------------------------------------------------------------
# Disk full: a recovery into a tmpfs smaller than what is recovered fails, says so, and leaves
# no cut-short file under a real name.
case_disk_full() {
    if ! is_root; then skip "disk full" "needs root for a small tmpfs"; return; fi
    if [ $fat_tools -eq 0 ]; then skip "disk full" "mkfs.fat or mtools missing"; return; fi
    local pass=0 fail=0 notes="" r mnt=$work/full out
    mkdir -p "$mnt"
    if ! mount -t tmpfs -o size=600k tmpfs "$mnt" 2>/dev/null; then
        skip "disk full" "tmpfs mount refused"; return
    fi
    mounts+=("$mnt")
    for r in $(seq 1 "$runs"); do
        rm -rf "$mnt"/*
        out=$mnt/rescued
        fresh_home
        # First the check before writing: too little room is said up front, nothing written.
        "$cli" recover -q "$many" --to "$out" >"$work/full.log" 2>&1
        local code=$? ok=1 why=""
        [ $code -eq 2 ] || { ok=0; why="exit $code without room (2 expected)"; }
        grep -q "free" "$work/full.log" || { ok=0; why="${why:+$why; }no free-space message"; }
        [ -z "$(find "$out" -type f 2>/dev/null)" ] || { ok=0; why="${why:+$why; }files written after refusing"; }
        # Then told to go on anyway: the disk fills up mid-recovery.
        fresh_home
        "$cli" recover -q --no-space-check "$many" --to "$out" >"$work/full.log" 2>&1
        code=$?
        [ $code -ne 0 ] || { ok=0; why="${why:+$why; }exit 0 on a full disk"; }
        grep -q "No space left on device" "$work/full.log" || { ok=0; why="${why:+$why; }no 'No space left' message"; }
        local partial
        if ! partial=$(only_whole_copies "$out" "$many_originals"); then
            ok=0; why="${why:+$why; }cut-short file under a real name: $(echo "$partial" | head -n 1)"
        fi
        if [ $ok -eq 1 ]; then pass=$((pass + 1)); else fail=$((fail + 1)); notes=$why; fi
    done
    umount "$mnt" 2>/dev/null
    row "disk full" "$runs" $pass $fail "${notes:-exit $code, no partial files}"
}

# Stop: SIGINT once the first file has been written; the exit status says so and no file is
# left cut short.
case_stop() {
    if [ $fat_tools -eq 0 ]; then skip "stop (SIGINT)" "mkfs.fat or mtools missing"; return; fi
    local pass=0 fail=0 notes="" r
    local default_int=""
    env --default-signal=INT true 2>/dev/null && default_int="env --default-signal=INT"
    for r in $(seq 1 "$runs"); do
        local out=$work/stopped.$r
        fresh_home
        # A background job starts with SIGINT ignored; a Ctrl-C at a terminal is not.
        $default_int "$cli" recover "$many" --to "$out" >"$work/stop.log" 2>&1 &
        local pid=$! n=0 sent=1
        while kill -0 $pid 2>/dev/null && [ $n -lt 3000 ]; do
            [ -n "$(find "$out" -type f 2>/dev/null | head -n 1)" ] && break
            sleep 0.01
            n=$((n + 1))
        done
        kill -INT $pid 2>/dev/null || sent=0
        wait $pid
        local code=$? ok=1 why=""
        local written
        written=$(find "$out" -type f 2>/dev/null | wc -l)
        if [ $sent -eq 0 ]; then
            why="finished before the signal"; ok=0
        elif [ "$written" -ge 240 ] && [ $code -eq 0 ]; then
            why="stop not honoured: all 240 written, exit 0"; ok=0
        else
            [ $code -ne 0 ] || { ok=0; why="exit 0 after a stop"; }
            local partial
            if ! partial=$(only_whole_copies "$out" "$many_originals"); then
                ok=0; why="${why:+$why; }cut-short file: $(echo "$partial" | head -n 1)"
            fi
        fi
        if [ $ok -eq 1 ]; then pass=$((pass + 1)); else fail=$((fail + 1)); notes=$why; fi
        rm -rf "$out"
    done
    row "stop (SIGINT)" "$runs" $pass $fail "${notes:-exit $code, $written of 240 written whole}"
}

# kill -9 in the middle of a full scan, then --resume: the same items as a scan left alone.
case_kill_resume() {
    if [ $fat_tools -eq 0 ]; then skip "kill -9 + resume" "mkfs.fat or mtools missing"; return; fi
    local pass=0 fail=0 notes="" r
    fresh_home
    local start end
    start=$(date +%s%N)
    local whole
    whole=$("$cli" list -q --mode full --json "$many" 2>/dev/null | json_count)
    end=$(date +%s%N)
    local half=$(((end - start) / 2000000))  # milliseconds
    [ $half -lt 50 ] && half=50
    for r in $(seq 1 "$runs"); do
        fresh_home
        "$cli" scan --mode full "$many" >/dev/null 2>&1 &
        local pid=$!
        sleep "$(awk -v ms=$((half * r / runs + half / 2)) 'BEGIN {print ms / 1000}')"
        kill -9 $pid 2>/dev/null
        wait $pid 2>/dev/null
        local said resumed
        said=$("$cli" scan -q --mode full --resume "$many" 2>&1 | sed -n 's/.*: \([0-9]*\) items\{0,1\} found.*/\1/p')
        resumed=$("$cli" list -q --mode full --resume --json "$many" 2>/dev/null | json_count)
        if [ "$resumed" = "$whole" ] && [ "$said" = "$whole" ]; then
            pass=$((pass + 1))
        else
            fail=$((fail + 1)); notes="scan said ${said:-?}, list ${resumed}, uninterrupted $whole"
        fi
    done
    row "kill -9 + resume" "$runs" $pass $fail "${notes:-$whole items each time}"
}

# Hostile names: control characters, a 300-byte UTF-8 name and a "../" name, patched into the
# long-name entries of a card. Nothing raw reaches the terminal, the long name stays a photo,
# and nothing is written outside the destination.
make_hostile() {
    local img=$1 jpeg=$work/tiny.jpg
    printf '\377\330\377\340\000\020JFIF\000\001\002\003\004\005\006\007\377\331' >"$jpeg"
    mkfs.fat -C -F 16 "$img" 32768 >/dev/null || return 1
    # mtools refuses control characters and cuts names at 255 bytes: placeholders are put in
    # the long-name entries instead (Q, R, S) and replaced below.
    local stem
    stem=$(printf 'S%.0s' $(seq 100))
    mcopy -i "$img" "$jpeg" "::/QQQQQQQQQQQQx.jpg" &&
        mcopy -i "$img" "$jpeg" "::/RRRRRRRRRRRRy.jpg" &&
        mcopy -i "$img" "$jpeg" "::/$stem.jpg" &&
        mdel -i "$img" "::/QQQQQQQQQQQQx.jpg" "::/RRRRRRRRRRRRy.jpg" "::/$stem.jpg" || return 1
    python3 - "$img" <<'PY'
import sys
path = sys.argv[1]
data = bytearray(open(path, 'rb').read())
swap = {ord('Q'): [0x1B, ord(']'), ord('0'), ord(';'), ord('p'), ord('w'), ord('n'), 0x07, 0x0D, 0x0A, 0x7F, 0x9B],
        ord('R'): [ord(c) for c in '../../../../'],
        ord('S'): [0x65E5] * 100}  # 300 bytes of UTF-8 before ".jpg"
units = [1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30]
for e in range(0, len(data) - 31, 32):
    if data[e + 11] != 0x0F:
        continue
    for k in units:
        u = data[e + k] | data[e + k + 1] << 8
        if u in swap and swap[u]:
            v = swap[u].pop(0)
            data[e + k], data[e + k + 1] = v & 0xFF, v >> 8
if any(swap.values()):
    sys.exit(1)
open(path, 'wb').write(data)
PY
}
case_hostile_names() {
    if [ $fat_tools -eq 0 ]; then skip "hostile names" "mkfs.fat or mtools missing"; return; fi
    local pass=0 fail=0 notes="" r
    local img=$work/hostile.img
    if ! make_hostile "$img"; then skip "hostile names" "could not build the card"; return; fi
    local stem_head
    stem_head=$(python3 -c 'print("\u65e5" * 40, end="")')
    for r in $(seq 1 "$runs"); do
        # "../../../../y.jpg" written from DEST/photo would land in hostile-out itself.
        local mode ok=1 why="" log=$work/meta/hostile.log dest=$work/hostile-out/d1/d2/rescued
        rm -rf "$work/hostile-out" "$work/meta"
        mkdir -p "$work/hostile-out/d1/d2" "$work/meta"
        fresh_home
        : >"$log"
        local -a prune=(-path "$work/hostile-out" -prune -o -path "$work/home" -prune -o
                        -path "$work/meta" -prune -o)
        find "$work" "${prune[@]}" -print | sort >"$work/meta/before.lst"
        for mode in deleted full; do
            "$cli" list -q --mode $mode "$img" >>"$log" 2>&1
            "$cli" list -q --mode $mode --tree "$img" >>"$log" 2>&1
            "$cli" list -q --mode $mode --type photo "$img" >"$work/meta/photos.log" 2>&1
            grep -q "$stem_head.*\.jpg.*photo" "$work/meta/photos.log" ||
                { ok=0; why="${why:+$why; }300-byte name not a photo ($mode)"; }
            # Not quiet: the progress lines carry names too.
            "$cli" recover --mode $mode "$img" --to "$dest.$mode" >>"$log" 2>&1
            ls "$dest.$mode"/photo/ 2>/dev/null | grep -q "^$stem_head.*\.jpg$" ||
                { ok=0; why="${why:+$why; }300-byte name not recovered ($mode)"; }
        done
        local raw
        raw=$(raw_controls "$log")
        [ "$raw" = 0 ] || { ok=0; why="${why:+$why; }$raw raw control bytes on the terminal"; }
        grep -qF '\x1b]0;pwn\x07\r\n\x7f\u009b' "$log" || { ok=0; why="${why:+$why; }escape not shown"; }
        find "$work" "${prune[@]}" -print | sort >"$work/meta/after.lst"
        local stray
        stray=$(comm -13 "$work/meta/before.lst" "$work/meta/after.lst" | head -n 1)
        [ -n "$stray" ] || stray=$(find "$work/hostile-out" -type f ! -path "$dest.*/*" | head -n 1)
        [ -z "$stray" ] || { ok=0; why="${why:+$why; }written outside the destination: $stray"; }
        if [ $ok -eq 1 ]; then pass=$((pass + 1)); else fail=$((fail + 1)); notes=$why; fi
    done
    row "hostile names" "$runs" $pass $fail "${notes:-escaped, kind kept, inside destination}"
}

# Absurd boot-sector fields: the full scan must still find what the carver alone finds.
# patch IMAGE OFFSET HEXBYTES (little-endian bytes as hex)
patch_bytes() {
    python3 - "$@" <<'PY'
import sys
path, offset, hexbytes = sys.argv[1], int(sys.argv[2]), bytes.fromhex(sys.argv[3])
with open(path, 'r+b') as f:
    f.seek(offset); f.write(hexbytes)
PY
}
case_absurd_boot() {
    local pass=0 fail=0 notes="" tried=0 name base offset bytes
    local cases=()
    if [ $fat_tools -eq 1 ]; then
        cases+=("FAT size 0xFFFFFFFF|$demo|36|ffffffff"
                "255 FAT copies|$demo|16|ff"
                "0x80 sectors/cluster|$demo|13|80")
    fi
    if [ $ntfs_tools -eq 1 ]; then
        cases+=("MFT cluster 2^62|$ntfs|48|0000000000000040")
    fi
    if [ ${#cases[@]} -eq 0 ]; then skip "absurd boot sectors" "mkfs tools missing"; return; fi
    local r c
    for r in $(seq 1 "$runs"); do
        for c in "${cases[@]}"; do
            IFS='|' read -r name base offset bytes <<<"$c"
            local img=$work/absurd.img
            cp "$base" "$img"
            patch_bytes "$img" "$offset" "$bytes"
            fresh_home
            local carved full
            carved=$(timeout 120 "$cli" list -q --mode carve --json "$img" 2>/dev/null | json_count files)
            fresh_home
            full=$(timeout 120 "$cli" list -q --mode full --json "$img" 2>/dev/null | json_count files)
            tried=$((tried + 1))
            if [ "$carved" -gt 0 ] && [ "$full" -ge "$carved" ]; then
                pass=$((pass + 1))
            else
                fail=$((fail + 1)); notes="${notes:+$notes; }$name: full $full, carve $carved"
            fi
        done
    done
    row "absurd boot sectors" $tried $pass $fail "${notes:-${#cases[@]} fields: full >= carve}"
}

# Fuzzed images: random byte flips in the first MiB (boot sector, FATs, directories, MFT); every
# mode ends in time without a crash and the image is not changed.
case_fuzz() {
    local label=$1 base=$2 count=$((8 * runs))
    if [ ! -s "$base" ]; then skip "$label" "no base image"; return; fi
    local pass=0 fail=0 notes="" i mode
    for i in $(seq 1 "$count"); do
        local img=$work/fuzz.img
        cp "$base" "$img"
        python3 - "$img" "$i" <<'PY'
import os, random, sys
path, seed = sys.argv[1], int(sys.argv[2])
rng = random.Random(seed * 7919 + len(path))
size = os.path.getsize(path)
span = min(size, 1 << 20)
with open(path, 'r+b') as f:
    for _ in range(rng.choice([1, 4, 16, 64, 256])):
        at = rng.randrange(span)
        f.seek(at)
        b = f.read(1)[0]
        f.seek(at)
        f.write(bytes([b ^ (1 << rng.randrange(8)) if rng.random() < 0.7 else rng.randrange(256)]))
PY
        local before after ok=1 why=""
        before=$(sha256sum "$img" | cut -d' ' -f1)
        for mode in deleted full; do
            fresh_home
            timeout 90 "$cli" list -q --mode $mode "$img" >/dev/null 2>&1
            local code=$?
            case $code in
                0 | 1 | 2) ;;
                124) ok=0; why="hang (timeout) in $mode mode, seed $i" ;;
                *) ok=0; why="exit $code in $mode mode, seed $i" ;;
            esac
        done
        after=$(sha256sum "$img" | cut -d' ' -f1)
        [ "$before" = "$after" ] || { ok=0; why="source changed, seed $i"; }
        if [ $ok -eq 1 ]; then pass=$((pass + 1)); else fail=$((fail + 1)); notes=$why; fi
    done
    row "$label" "$count" $pass $fail "${notes:-no crash, no hang, source unchanged}"
}

case_disk_full
case_stop
case_kill_resume
case_hostile_names
case_absurd_boot
if [ $fat_tools -eq 1 ]; then case_fuzz "fuzzed FAT images" "$demo"; else skip "fuzzed FAT images" "mkfs.fat or mtools missing"; fi
if [ $ntfs_tools -eq 1 ]; then
    case_fuzz "fuzzed NTFS images" "$ntfs"
elif [ -s "$fixture_ntfs" ]; then
    case_fuzz "fuzzed NTFS images" "$fixture_ntfs"
else
    skip "fuzzed NTFS images" "mkntfs/ntfscp missing and no fixture"
fi

printf '\n%-22s %5s %7s %7s  %s\n' CASE RUNS PASSED FAILED NOTES
for line in "${rows[@]}"; do
    IFS=$'\t' read -r c n p f t <<<"$line"
    printf '%-22s %5s %7s %7s  %s\n' "$c" "$n" "$p" "$f" "$t"
done
exit $any_failed

#!/usr/bin/env bash
# Makes formatted media for the full-scan benchmarks with the real tools: a folder tree of real
# files is written onto a fresh FAT (mkfs.fat + mtools, no mount) or NTFS volume (mkntfs + an
# ntfs-3g FUSE mount, as root), then the volume is quick-formatted over it.
#
# usage:
#   make-formatted-media.sh tree FILESDIR TREEDIR SIZE_MIB
#       A tree of about SIZE_MIB: the files of FILESDIR (scripts/make-carve-image.py files)
#       copied again and again into folders with long names (spaces, parentheses, one folder
#       and some files with non-ASCII names), each copy's files renamed after its folder so that
#       every name is unique, plus in each folder files of its own: notes and a short memo
#       (text), a CSV table, a random firmware blob (no signature), a photo and a picture
#       (ImageMagick, a seed per folder). The first folder's own files sit in the root.
#   make-formatted-media.sh fat IMAGE SIZE_MIB TREEDIR "MKFS_ARGS" "REFORMAT_ARGS"
#       mkfs.fat -C MKFS_ARGS IMAGE, TREEDIR copied in with mcopy -s, then the volume
#       quick-formatted in place with mkfs.fat REFORMAT_ARGS (FATs and root folder rewritten,
#       the data area left as it was).
#   make-formatted-media.sh ntfs IMAGE SIZE_MIB TREEDIR "MKNTFS_ARGS" "REFORMAT_ARGS"
#       mkntfs -Q MKNTFS_ARGS, TREEDIR copied in through an ntfs-3g mount, then
#       mkntfs -Q -F REFORMAT_ARGS over it.
#   make-formatted-media.sh sparse IMAGE SIZE_GIB FILESDIR
#       A sparse FAT32 volume of SIZE_GIB (32 KiB clusters, 4 KiB below 16 GiB): FILESDIR copied into one folder
#       at the start, and the files of FILESDIR written raw at a few scattered offsets of the
#       data area (six places, every 1/7 of the volume; there the files lie one after the other,
#       each on a MiB boundary), then quick-formatted; the rest reads as zeros.
#       Prints "offset name" of each scattered file.
set -euo pipefail
export MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8

die() { echo "make-formatted-media: $*" >&2; exit 1; }

make_tree() {  # filesdir treedir size-mib
    python3 - "$@" <<'PY'
import os, random, shutil, subprocess, sys

files_dir, tree, size_mib = sys.argv[1], sys.argv[2], int(sys.argv[3])
budget = size_mib * 1024 * 1024
rng = random.Random(20240620)
FOLDERS = [
    "Holiday Photos 2023/Day 1 - Beach and Harbour",
    "Documents/Letters and Invoices (2022)",
    "Music & Sounds/Ringtone collection",
    "Ærøskøbing trip/Café visits",
    "Work Projects/Quarterly Reports Q3",
    "Videos from the old phone",
    "Backups/Old laptop archive",
    "Family/Grandma's 90th birthday",
    "Scans of important papers",
    "Downloads/Installers and fonts",
    "Camera Roll/Weekend in the mountains",
    "School/Science fair project",
]
WORDS = ("the quarterly figures show a steady rise in card sales while the photo archive "
         "needs another backup before the trip next month remember to call the bank "
         "Ærø café smørrebrød résumé naïve").split()
names = sorted(n for n in os.listdir(files_dir) if os.path.isfile(os.path.join(files_dir, n)))
used = 0


def fits(n):
    return used + n <= budget


def put(path, data):
    global used
    if not fits(len(data)):
        return False
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    used += len(data)
    return True


def text(n):
    out, size = [], 0
    while size < n:
        w = rng.choice(WORDS) + ("\n" if rng.random() < 0.08 else " ")
        out.append(w)
        size += len(w.encode())
    return "".join(out).encode()


def own_files(folder, k, label):
    put(os.path.join(folder, "Notes about %s.txt" % label), text(rng.randint(2000, 40000)))
    put(os.path.join(folder, "Short memo %d.txt" % k), text(rng.randint(120, 600)))
    rows = ["date,sensor,reading"] + ["2023-%02d-%02d,s%d,%.3f" % (
        rng.randint(1, 12), rng.randint(1, 28), rng.randint(1, 9), rng.random() * 100)
        for _ in range(rng.randint(500, 5000))]
    put(os.path.join(folder, "Sensor readings %d.csv" % k), ("\n".join(rows) + "\n").encode())
    put(os.path.join(folder, "firmware image %d.bin" % k), rng.randbytes(rng.randint(64, 1024) * 1024))
    for kind, size, quality in (("jpg", "%dx%d" % (rng.choice((640, 800, 1024)), 600), "88"),
                                ("png", "%dx%d" % (rng.choice((160, 240, 320)), 200), "")):
        tmp = os.path.join(tree, ".work.%s" % kind)
        args = ["convert", "-seed", str(1000 + k), "-size", size, "plasma:fractal"]
        if quality:
            args += ["-quality", quality]
        if subprocess.run(args + [tmp], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0:
            with open(tmp, "rb") as f:
                name = ("Snapshot %d from %s.jpg" if kind == "jpg" else "Drawing %d for %s.png")
                put(os.path.join(folder, name % (k, label)), f.read())
            os.remove(tmp)


os.makedirs(tree)
k = 0
while True:
    base = FOLDERS[k % len(FOLDERS)]
    rnd = k // len(FOLDERS)
    folder = os.path.join(tree, base + ("" if rnd == 0 else " (part %d)" % (rnd + 1)))
    label = os.path.basename(base).split(" (")[0] + ("" if rnd == 0 else " %d" % (rnd + 1))
    before = used
    own_files(tree if k == 0 else folder, k, label)
    order = names[:]
    rng.shuffle(order)
    for n in order:
        stem, ext = os.path.splitext(n)
        data = open(os.path.join(files_dir, n), "rb").read()
        put(os.path.join(folder, "%s (%s)%s" % (stem, label, ext)), data)
    if used == before or used >= budget - 4096:
        break
    k += 1
PY
}

make_fat() {  # image size-mib tree mkfs-args reformat-args
    local img=$1 mib=$2 tree=$3
    rm -f "$img"
    # shellcheck disable=SC2086  # the argument strings are word lists
    mkfs.fat -C $4 "$img" $((mib * 1024)) >/dev/null 2>&1 || die "mkfs.fat $4 failed"
    (cd "$tree" && mcopy -s -m -i "$img" ./* ::/) || die "mcopy into $img failed"
    # shellcheck disable=SC2086
    mkfs.fat $5 "$img" >/dev/null 2>&1 || die "mkfs.fat $5 (reformat) failed"
}

make_ntfs() {  # image size-mib tree mkntfs-args reformat-args
    local img=$1 mib=$2 tree=$3 mnt
    mnt=$(mktemp -d)
    # shellcheck disable=SC2064
    trap "mountpoint -q '$mnt' && umount '$mnt'; rmdir '$mnt'" EXIT
    rm -f "$img"
    truncate -s "${mib}M" "$img"
    # shellcheck disable=SC2086
    mkntfs -F -Q -q $4 "$img" >/dev/null 2>&1 || die "mkntfs $4 failed"
    ntfs-3g "$img" "$mnt" || die "cannot mount $img with ntfs-3g"
    cp -r "$tree"/. "$mnt"/
    umount "$mnt"
    # shellcheck disable=SC2086
    mkntfs -F -Q -q $5 "$img" >/dev/null 2>&1 || die "mkntfs $5 (reformat) failed"
}

make_sparse() {  # image size-gib filesdir
    local img=$1 gib=$2 files=$3 bytes data_start step off n=0 f spc=64 size
    local -a next=(0 0 0 0 0 0)  # where each of the six places' next file goes
    [ "$gib" -ge 16 ] || spc=8  # enough clusters for FAT32 on a small volume
    rm -f "$img"
    truncate -s "${gib}G" "$img"
    mkfs.fat -F 32 -s $spc "$img" >/dev/null 2>&1 || die "mkfs.fat on the sparse image failed"
    mmd -i "$img" "::/Camera uploads"
    mcopy -m -i "$img" "$files"/* "::/Camera uploads/"
    bytes=$((gib * 1024 * 1024 * 1024))
    data_start=$((64 * 1024 * 1024))  # past the FATs of a volume up to 256 GiB
    step=$(((bytes - data_start) / 7 / 1048576 * 1048576))
    for f in "$files"/*; do
        # Each place fills up from its start, a file every MiB boundary, so that a small
        # volume holds them all as well.
        off=$((data_start + (n % 6 + 1) * step + next[n % 6]))
        size=$(stat -c %s "$f")
        next[n % 6]=$((next[n % 6] + (size + 1048575) / 1048576 * 1048576))
        if [ $((off + size)) -gt "$bytes" ] || [ "${next[n % 6]}" -gt "$step" ]; then
            die "$gib GiB is too small for the files of $files"
        fi
        dd if="$f" of="$img" bs=1M seek="$off" oflag=seek_bytes conv=notrunc,sparse \
            status=none
        echo "$off $(basename "$f")"
        n=$((n + 1))
    done
    mkfs.fat -F 32 -s $spc "$img" >/dev/null 2>&1 || die "reformatting the sparse image failed"
}

[ $# -ge 2 ] && [ "$1" != tree ] && set -- "$1" "$(realpath -m "$2")" "${@:3}"
case "${1:-}" in
    tree) [ $# -eq 4 ] || die "usage: tree FILESDIR TREEDIR SIZE_MIB"; make_tree "$2" "$3" "$4" ;;
    fat) [ $# -eq 6 ] || die "usage: fat IMAGE SIZE_MIB TREEDIR MKFS_ARGS REFORMAT_ARGS"
        make_fat "$2" "$3" "$4" "$5" "$6" ;;
    ntfs) [ $# -eq 6 ] || die "usage: ntfs IMAGE SIZE_MIB TREEDIR MKNTFS_ARGS REFORMAT_ARGS"
        make_ntfs "$2" "$3" "$4" "$5" "$6" ;;
    sparse) [ $# -eq 4 ] || die "usage: sparse IMAGE SIZE_GIB FILESDIR"; make_sparse "$2" "$3" "$4" ;;
    *) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2 ;;
esac

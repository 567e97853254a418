#!/usr/bin/env bash
# Makes two whole-disk images, as dd or ddrescue copy a card or disk, for the partitioned-source
# tests and the whole-disk benchmarks. Nothing outside OUTDIR is written and no real disk is
# touched; the images are sparse.
#
#   OUTDIR/mbr.img  128 MiB, DOS table:
#     partition 1  FAT32 (type 0x0C), label CARDFAT, sectors 2048..100351, 512-byte clusters
#     unallocated  16 MiB (sectors 100352..133119), larger than one 255 x 63 cylinder
#     partition 2  NTFS (type 0x07), label CARDNTFS, sectors 133120..198655
#     partition 3  extended (type 0x05), sectors 198656..249855, holding
#     partition 5  logical FAT16 (type 0x06), label LOGFAT, sectors 200704..249855
#     unallocated  the last 6 MiB
#   OUTDIR/gpt.img  96 MiB, GPT:
#     partition 1  FAT32 ("Microsoft basic data"), label GPTFAT, sectors 2048..100351,
#                  512-byte clusters
#     partition 2  NTFS ("Microsoft basic data") without label, sectors 100352..165887
#     partition 3  ("Linux filesystem") holding no file system, sectors 165888..182271
#     unallocated  up to the backup table at the end
# Each file system holds files in folders (small and multi-cluster ones, long and non-ASCII
# names, photo/audio/video/document/archive/other content with real leading signatures and
# pseudo-random bodies distinct per file), a file that had to fill the hole a deleted file left
# (so it is fragmented), then some files and one folder with its content are deleted.
#
#   OUTDIR/expected.tsv    one line per deleted file, tab-separated, with a header line:
#                          image  partition  path  size  sha256  layout
#                          layout: "contiguous", or "fragmented" (a FAT file whose chain was
#                          not one run: once it is deleted, only skipping the clusters live
#                          files hold finds its second piece)
#   OUTDIR/partitions.tsv  image  partition  start-sector  sectors  fs  label
#                          fs as `sources` names it: FAT32, FAT (FAT12/16), NTFS; empty for
#                          none
#   OUTDIR/deleted/IMAGE/pN/PATH  the original bytes of each deleted file
#   OUTDIR/unallocated.tsv image  start-sector  size  sha256  of a whole PNG picture left in
#                          mbr.img's unallocated stretch (as an earlier layout of the card left
#                          it), which only a scan of the stretches between partitions finds;
#                          its bytes are OUTDIR/unallocated.png
#
# FAT volumes are made in place (mkfs.fat --offset) and filled with mtools at the partition's
# byte offset; NTFS is made in a file of its own, filled through an ntfs-3g FUSE mount (root, or
# a user allowed to mount) and copied into its partition.
# Exit codes: 0 made, 2 usage, 3 a tool is missing or FUSE mounting is refused (tests skip).
# Usage: make-whole-disk-images.sh OUTDIR
set -euo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 OUTDIR" >&2
    exit 2
fi
out=$1
export PATH="$PATH:/usr/sbin:/sbin" MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8 TZ=UTC
for tool in sfdisk mkfs.fat mcopy mmd mdel mdeltree mshowfat mkntfs ntfs-3g python3 sha256sum \
    truncate dd; do
    command -v "$tool" >/dev/null 2>&1 || { echo "$0: $tool is missing" >&2; exit 3; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/whole-disk-XXXXXX")
mnt="$work/mnt"
cleanup() {
    mountpoint -q "$mnt" 2>/dev/null && umount "$mnt"
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$out" "$mnt"
out=$(cd "$out" && pwd)
rm -rf "$out/deleted" "$out/mbr.img" "$out/gpt.img"
printf 'image\tpartition\tpath\tsize\tsha256\tlayout\n' >"$out/expected.tsv"
printf 'image\tpartition\tstart\tsectors\tfs\tlabel\n' >"$out/partitions.tsv"

# Runs a tool, showing what it said only when it fails (mkfs.fat warns about small FAT32).
quiet() {
    local msg
    if ! msg=$("$@" 2>&1); then
        echo "$0: $* failed: $msg" >&2
        exit 1
    fi
}

# The files every volume gets: "PATH SIZE". Deleted later: those deleted_files names, the
# fragmented archive and the whole "Old album" folder; frag_b.bin goes first, to leave a hole.
file_list() {
    cat <<'LIST'
/readme.txt 1500
/DCIM/100CARD/Holiday photo 01.jpg 120000
/DCIM/100CARD/Holiday photo 02.jpg 181234
/DCIM/100CARD/Beach at sunset seen from the old lighthouse on the hill.jpg 95000
/DCIM/100CARD/Ærøskøbing harbour.png 40000
/Music/Song of the sea.mp3 250000
/Videos/Clip 01.mp4 310000
/Documents/notes.txt 3000
/Documents/Quarterly report.pdf 130001
/Documents/Small note.txt 700
/Backup/Backup of March.zip 52000
/Old album/Grandma 1998.png 61000
/Old album/Grandma 1999.png 45500
/Old album/Letter from Anna.txt 2600
/Raw data.bin 77777
LIST
}
deleted_files() {
    cat <<'LIST'
/DCIM/100CARD/Holiday photo 02.jpg
/DCIM/100CARD/Beach at sunset seen from the old lighthouse on the hill.jpg
/DCIM/100CARD/Ærøskøbing harbour.png
/Music/Song of the sea.mp3
/Videos/Clip 01.mp4
/Documents/Quarterly report.pdf
/Documents/Small note.txt
/Backup/Backup of March.zip
/Raw data.bin
LIST
}

# Writes the files of every partition: WORK/IMAGE-pN/tree/... (copied in one go), then
# WORK/IMAGE-pN/late/ (frag_a/b/c.bin, copied one by one after the tree, and the archive that
# fills frag_b's hole). Each starts with a real signature for the kind its extension names,
# then bytes drawn from a generator seeded with the partition and the path, so no two files of
# any partition are alike.
make_files() {  # image-pN...
    { file_list; printf '%s\n' "/frag_a.bin 20000" "/frag_b.bin 20000" "/frag_c.bin 20000" \
        "/Fragmented archive.zip 200000"; } | python3 -c '
import os, random, sys
work, parts = sys.argv[1], sys.argv[2:]
heads = {".jpg": b"\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01", ".png": b"\x89PNG\r\n\x1a\n",
         ".pdf": b"%PDF-1.4\n", ".mp3": b"ID3\x03\x00\x00\x00\x00\x00\x00",
         ".mp4": b"\x00\x00\x00\x18ftypmp42", ".zip": b"PK\x03\x04\x14\x00"}
files = [line.rstrip("\n").rsplit(" ", 1) for line in sys.stdin]
for part in parts:
    for path, size in files:
        size = int(size)
        r = random.Random(part + ":" + path)
        if path.endswith(".txt"):
            words = ["card", "disk", "photo", "norvale", "partition", part, "\n"]
            data = " ".join(r.choice(words) for _ in range(size)).encode()[:size]
        else:
            data = heads.get(os.path.splitext(path)[1].lower(), b"")
            data = (data + r.randbytes(size))[:size]
        late = path.count("/") == 1 and (path.startswith("/frag") or path.startswith("/Frag"))
        full = os.path.join(work, part, "late" if late else "tree", path.lstrip("/"))
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data)
' "$work" "$@"
}

# Writes expected.tsv and the originals of the deleted files from "IMAGE PART LAYOUT" lines
# (LAYOUT: that of the partition's fragmented archive).
record_deleted() {
    { deleted_files; printf '%s\n' "/Fragmented archive.zip" "/Old album/Grandma 1998.png" \
        "/Old album/Grandma 1999.png" "/Old album/Letter from Anna.txt"; } >"$work/deleted.list"
    python3 -c '
import hashlib, os, shutil, sys
work, out = sys.argv[1], sys.argv[2]
deleted = [l.rstrip("\n") for l in open(os.path.join(work, "deleted.list"), encoding="utf-8")]
with open(os.path.join(out, "expected.tsv"), "a", encoding="utf-8") as tsv:
    for line in sys.stdin:
        image, part, fraglayout = line.split()
        base = os.path.join(work, "%s-p%s" % (image, part))
        for path in deleted:
            late = path.startswith("/Fragmented")
            src = os.path.join(base, "late" if late else "tree", path.lstrip("/"))
            data = open(src, "rb").read()
            tsv.write("%s\t%s\t%s\t%d\t%s\t%s\n" % (image, part, path, len(data),
                      hashlib.sha256(data).hexdigest(), fraglayout if late else "contiguous"))
            dst = os.path.join(out, "deleted", image, "p" + part, path.lstrip("/"))
            os.makedirs(os.path.dirname(dst), exist_ok=True)
            shutil.copyfile(src, dst)
' "$work" "$out"
}

# A FAT volume made inside its partition and filled with mtools; no mount.
fat_partition() {  # image image-name partition start sectors fat-bits sectors-per-cluster label
    local img=$1 name=$2 part=$3 start=$4 sectors=$5 bits=$6 spc=$7 label=$8
    local src="$work/$name-p$part" v="$1@@$(($4 * 512))" layout f
    quiet mkfs.fat -F "$bits" -s "$spc" -n "$label" --offset "$start" -h "$start" "$img" \
        $((sectors / 2))
    mcopy -s -i "$v" "$src/tree/"* ::/
    for f in frag_a.bin frag_b.bin frag_c.bin; do mcopy -i "$v" "$src/late/$f" ::/; done
    mdel -i "$v" ::/frag_b.bin
    # The archive fills the hole frag_b left, then goes on after the last file. On FAT32 mtools
    # would start after the last allocation (the FSInfo hint): the hint is cleared, as a volume
    # shows it after the hint wrapped, so the search starts at the first cluster. The FSInfo
    # sector is the volume's sector 1, as mkfs.fat writes it.
    if [ "$bits" = 32 ]; then
        printf '\377\377\377\377' |
            dd of="$img" bs=1 seek=$((start * 512 + 512 + 492)) conv=notrunc status=none
    fi
    mcopy -i "$v" "$src/late/Fragmented archive.zip" ::/
    layout=contiguous
    [ "$(mshowfat -i "$v" "::/Fragmented archive.zip" | grep -o '<[0-9-]*>' | wc -l)" -gt 1 ] &&
        layout=fragmented
    deleted_files | sed 's/^/::/' | tr '\n' '\0' | xargs -0 mdel -i "$v" "::/Fragmented archive.zip"
    mdeltree -i "$v" "::/Old album"
    echo "$name $part $layout" >>"$work/layouts"
    printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$name" "$part" "$start" "$sectors" \
        "$([ "$bits" = 32 ] && echo FAT32 || echo FAT)" "$label" >>"$out/partitions.tsv"
}

# An NTFS volume made in a file of its own, filled through ntfs-3g and copied into its
# partition; the boot sector states the partition's start, as a partitioning tool writes it.
ntfs_partition() {  # image image-name partition start sectors label
    local img=$1 name=$2 part=$3 start=$4 sectors=$5 label=$6
    local src="$work/$name-p$part" vol="$work/ntfs-$name-$part.img" path
    truncate -s $((sectors * 512)) "$vol"
    quiet mkntfs -F -Q -q ${label:+-L "$label"} -p "$start" -H 255 -S 63 "$vol"
    if ! ntfs-3g "$vol" "$mnt" 2>"$work/mount.err"; then
        echo "$0: cannot mount NTFS through ntfs-3g (root or a user allowed to mount FUSE is" \
            "needed): $(cat "$work/mount.err")" >&2
        exit 3
    fi
    cp -r "$src/tree/." "$mnt/"
    cp "$src/late/frag_a.bin" "$src/late/frag_b.bin" "$src/late/frag_c.bin" "$mnt/"
    rm "$mnt/frag_b.bin"
    umount "$mnt"
    ntfs-3g "$vol" "$mnt"
    cp "$src/late/Fragmented archive.zip" "$mnt/"
    deleted_files | while IFS= read -r path; do rm "$mnt$path"; done
    rm -r "$mnt/Fragmented archive.zip" "$mnt/Old album"
    umount "$mnt"
    dd if="$vol" of="$img" bs=1M seek=$((start * 512)) oflag=seek_bytes conv=notrunc,sparse \
        status=none
    rm -f "$vol"
    # NTFS keeps a deleted file's runs in its record, fragmented or not.
    echo "$name $part contiguous" >>"$work/layouts"
    printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$name" "$part" "$start" "$sectors" NTFS "$label" \
        >>"$out/partitions.tsv"
}

make_files mbr-p1 mbr-p2 mbr-p5 gpt-p1 gpt-p2

mbr="$work/mbr.img"
truncate -s 128M "$mbr"
quiet sfdisk --no-reread --no-tell-kernel "$mbr" <<'TABLE'
label: dos
start=2048, size=98304, type=c
start=133120, size=65536, type=7
start=198656, size=51200, type=5
start=200704, size=49152, type=6
TABLE
fat_partition "$mbr" mbr 1 2048 98304 32 1 CARDFAT
ntfs_partition "$mbr" mbr 2 133120 65536 CARDNTFS
fat_partition "$mbr" mbr 5 200704 49152 16 4 LOGFAT

gpt="$work/gpt.img"
truncate -s 96M "$gpt"
quiet sfdisk --no-reread --no-tell-kernel "$gpt" <<'TABLE'
label: gpt
start=2048, size=98304, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, name="Card data"
start=100352, size=65536, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, name="Card system"
start=165888, size=16384, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4, name="Spare"
TABLE
fat_partition "$gpt" gpt 1 2048 98304 32 1 GPTFAT
ntfs_partition "$gpt" gpt 2 100352 65536 ""
printf 'gpt\t3\t165888\t16384\t\t\n' >>"$out/partitions.tsv"

record_deleted <"$work/layouts"

# A real PNG (its chunks and CRCs whole, so its end is known) at sector 110000, in the stretch
# no partition covers.
python3 -c '
import hashlib, random, struct, sys, zlib
w, h, r = 160, 100, random.Random("unallocated")
rows = b"".join(b"\0" + r.randbytes(w * 3) for y in range(h))
def chunk(t, d):
    return struct.pack(">I", len(d)) + t + d + struct.pack(">I", zlib.crc32(t + d) & 0xFFFFFFFF)
png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
png += chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b"")
open(sys.argv[1], "wb").write(png)
with open(sys.argv[2], "r+b") as f:
    f.seek(110000 * 512)
    f.write(png)
with open(sys.argv[3], "w") as t:
    t.write("image\tstart\tsize\tsha256\nmbr\t110000\t%d\t%s\n" % (len(png), hashlib.sha256(png).hexdigest()))
' "$out/unallocated.png" "$mbr" "$out/unallocated.tsv"
mv "$mbr" "$gpt" "$out/"
echo "made $out/mbr.img, $out/gpt.img, $out/expected.tsv ($(($(wc -l <"$out/expected.tsv") - 1))" \
    "deleted files), $out/partitions.tsv"

#!/usr/bin/env bash
# Makes a small demo memory-card image: a 64 MiB FAT32 volume (no partition table, as many
# cards are formatted by cameras) holding a few pictures, a document and a sound, some of which
# are then deleted, the way a user loses photos. Uses mkfs.fat and mtools; nothing is mounted.
# Usage: make-demo-card.sh OUTPUT.img [ORIGINALS_DIR]
# With ORIGINALS_DIR the sample files are kept there, to compare with what comes back.
set -euo pipefail
out=${1:?usage: make-demo-card.sh OUTPUT.img [ORIGINALS_DIR]}
keep=${2:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 - "$work" <<'PY'
import os, struct, sys, zlib, math
work = sys.argv[1]

def png(path, w, h, seed):
    rows = b''.join(b'\x00' + b''.join(bytes(((x * seed + y * 7) & 0xFF, (x ^ y) & 0xFF, (y * seed) & 0xFF))
                                        for x in range(w)) for y in range(h))
    def chunk(t, d):
        return struct.pack('>I', len(d)) + t + d + struct.pack('>I', zlib.crc32(t + d) & 0xFFFFFFFF)
    data = b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', w, h, 8, 2, 0, 0, 0))
    data += chunk(b'IDAT', zlib.compress(rows, 6)) + chunk(b'IEND', b'')
    open(path, 'wb').write(data)

def bmp(path, w, h):
    row = (w * 3 + 3) & ~3
    pixels = b''.join(b''.join(bytes(((x + y) & 0xFF, (x * 2) & 0xFF, (y * 3) & 0xFF)) for x in range(w)).ljust(row, b'\0') for y in range(h))
    header = b'BM' + struct.pack('<IHHI', 54 + len(pixels), 0, 0, 54)
    info = struct.pack('<IiiHHIIiiII', 40, w, h, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    open(path, 'wb').write(header + info + pixels)

def wav(path, seconds):
    rate = 8000
    frames = b''.join(struct.pack('<h', int(8000 * math.sin(2 * math.pi * 440 * i / rate))) for i in range(rate * seconds))
    hdr = b'RIFF' + struct.pack('<I', 36 + len(frames)) + b'WAVEfmt ' + struct.pack('<IHHIIHH', 16, 1, 1, rate, rate * 2, 2, 16)
    open(path, 'wb').write(hdr + b'data' + struct.pack('<I', len(frames)) + frames)

png(os.path.join(work, 'IMG_0001.png'), 320, 240, 3)
png(os.path.join(work, 'IMG_0002.png'), 640, 480, 5)
png(os.path.join(work, 'Sommer am Fjord.png'), 400, 300, 11)
bmp(os.path.join(work, 'scan.bmp'), 200, 150)
wav(os.path.join(work, 'voice memo.wav'), 2)
open(os.path.join(work, 'notes.txt'), 'w').write('Shopping list\n' * 200)
PY

rm -f "$out"
mkfs.fat -C -F 32 -n DEMOCARD "$out" 65536 >/dev/null
export MTOOLS_SKIP_CHECK=1
mmd -i "$out" ::/DCIM ::/DCIM/100CAMERA ::/Documents
mcopy -i "$out" "$work/IMG_0001.png" "$work/IMG_0002.png" "$work/Sommer am Fjord.png" ::/DCIM/100CAMERA/
mcopy -i "$out" "$work/scan.bmp" "$work/notes.txt" ::/Documents/
mcopy -i "$out" "$work/voice memo.wav" ::/
# The accident: two photos and the memo are deleted.
mdel -i "$out" ::/DCIM/100CAMERA/IMG_0002.png "::/DCIM/100CAMERA/Sommer am Fjord.png" "::/voice memo.wav"
if [ -n "$keep" ]; then
    rm -rf "$keep"
    mkdir -p "$keep"
    cp "$work"/* "$keep"/
fi
echo "$out"

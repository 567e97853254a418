#!/usr/bin/env python3
"""Makes the raw images of the carving benchmarks: real files of the carvable families laid
out on sector boundaries, with no file system around them.

usage:
  make-carve-image.py files OUTDIR
      Real files of every carvable family: those of tests/fixtures/carving/make_real_files.py
      plus old Office documents (Word, Excel, PowerPoint streams in a compound file written
      by gsf), a camera-sized JPEG, a larger PNG and an H.264 MP4.
  make-carve-image.py compare FILESDIR IMAGE MANIFEST
      Every file of FILESDIR once, in a shuffled order, each starting on a 512-byte sector,
      separated by gaps of zeros, of random bytes or of nothing at all. The slack after a
      file's end up to its sector's end is zero. MANIFEST gets one line per file:
      name, byte offset, size, SHA-256, tab-separated.
  make-carve-image.py mixed FILESDIR IMAGE SIZE_MIB [MANIFEST]
      A SIZE_MIB image of mixed content: runs of random bytes, zeros and text, and the
      files of FILESDIR repeated at random sector offsets (a quarter of the image's bytes).
      MANIFEST, when given, gets a line per placed file as above.

Everything is deterministic (fixed seeds) except what the tools of the files step write.
"""

import hashlib
import os
import random
import shutil
import subprocess
import sys

SECTOR = 512
HERE = os.path.dirname(os.path.abspath(__file__))
REAL_FILES = os.path.join(HERE, "..", "tests", "fixtures", "carving", "make_real_files.py")


def run(args, cwd):
    return subprocess.run(args, cwd=cwd, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def make_files(out):
    out = os.path.abspath(out)  # the tools run in a work folder of their own
    os.makedirs(out, exist_ok=True)
    subprocess.run([sys.executable, REAL_FILES, out], check=True)
    rng = random.Random(20240612)
    work = os.path.join(out, "extra_work")
    os.makedirs(work, exist_ok=True)
    have = lambda tool: shutil.which(tool) is not None

    if have("gsf"):
        # The stream names are the file names; gsf writes the streams first, so the first
        # stream starts in the container's first sector after the header, as Office does.
        def ole(name, streams):
            paths = []
            for stream, data in streams:
                write(os.path.join(work, stream), data)
                paths.append(stream)
            run(["gsf", "createole", os.path.join(out, name)] + paths, work)
            for p in paths:
                os.remove(os.path.join(work, p))
        # WordDocument opens with the FIB's identifier, Workbook with a BIFF8 BOF record.
        ole("letter.doc", [("WordDocument", b"\xec\xa5\xc1\x00" + rng.randbytes(24000)),
                           ("1Table", rng.randbytes(7000))])
        ole("budget.xls", [("Workbook", b"\x09\x08\x10\x00\x00\x06\x05\x00" +
                            rng.randbytes(30000))])
        ole("slides.ppt", [("PowerPoint Document", rng.randbytes(40000)),
                           ("Current User", rng.randbytes(600))])
    if have("convert"):
        run(["convert", "-seed", "11", "-size", "1600x1200", "plasma:fractal", "-quality", "90",
             os.path.join(out, "camera_large.jpg")], work)
        run(["convert", "-seed", "11", "-size", "640x480", "plasma:",
             os.path.join(out, "picture_large.png")], work)
    if have("ffmpeg"):
        run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-bitexact",
             "-f", "lavfi", "-i", "testsrc2=size=640x360:rate=25:duration=4",
             "-f", "lavfi", "-i", "sine=frequency=330:duration=4",
             "-vf", "noise=alls=12:allf=t:all_seed=5",
             "-c:v", "libx264", "-preset", "veryfast", "-c:a", "aac",
             os.path.join(out, "movie.mp4")], work)
    shutil.rmtree(work)
    for name in os.listdir(out):
        path = os.path.join(out, name)
        if os.path.isfile(path) and os.path.getsize(path) == 0:
            os.remove(path)


def file_list(folder):
    return sorted(n for n in os.listdir(folder) if os.path.isfile(os.path.join(folder, n)))


def pad(n):
    return (SECTOR - n % SECTOR) % SECTOR


def make_compare(folder, image, manifest):
    rng = random.Random(20240613)
    names = file_list(folder)
    rng.shuffle(names)
    lines = []
    with open(image, "wb") as img:
        img.write(b"\x00" * 65536)  # nothing that looks like a partition table
        for i, name in enumerate(names):
            # Gaps: none (files back to back), zeros or random bytes, whole sectors.
            kind = ("none", "zeros", "random")[i % 3] if i % 7 else "none"
            sectors = 0 if kind == "none" else rng.randint(1, 128)
            if kind == "zeros":
                img.write(b"\x00" * sectors * SECTOR)
            elif kind == "random":
                img.write(rng.randbytes(sectors * SECTOR))
            data = read(os.path.join(folder, name))
            offset = img.tell()
            img.write(data + b"\x00" * pad(len(data)))
            lines.append("%s\t%d\t%d\t%s\n" % (name, offset, len(data),
                                               hashlib.sha256(data).hexdigest()))
        img.write(rng.randbytes(64 * SECTOR) + b"\x00" * 65536)
    with open(manifest, "w") as f:
        f.writelines(lines)


TEXT_WORDS = ("the carving benchmark reads every sector of the source and looks for the "
              "first bytes of known files lorem ipsum dolor sit amet 2024-06-13 12:00:00 "
              "INFO kernel: usb 1-1: new high-speed USB device number 4").split()


def make_mixed(folder, image, size_mib, manifest=None):
    rng = random.Random(20240614)
    total = size_mib * 1024 * 1024
    names = file_list(folder)
    files = [read(os.path.join(folder, n)) for n in names]
    digests = [hashlib.sha256(d).hexdigest() for d in files]
    lines = []
    pool = rng.randbytes(32 * 1024 * 1024)  # slices of it serve as random runs
    text = " ".join(rng.choice(TEXT_WORDS) + ("\n" if rng.random() < 0.1 else "")
                    for _ in range(400000)).encode()
    # Shares of the image by bytes; each next run is of the kind furthest below its share.
    share = {"files": 0.25, "random": 0.35, "zeros": 0.25, "text": 0.15}
    written = dict.fromkeys(share, 0)
    pos = 0
    with open(image, "wb") as img:
        while pos < total:
            kind = min(share, key=lambda k: written[k] / share[k] + rng.random() * 4e6)
            n = rng.randint(16, 4096) * SECTOR
            if kind == "files":
                i = rng.randrange(len(files))
                data = files[i]
                if pos + len(data) <= total:
                    lines.append("%s\t%d\t%d\t%s\n" % (names[i], pos, len(data), digests[i]))
                data += b"\x00" * pad(len(data))
            elif kind == "random":
                at = rng.randrange(0, len(pool) - n)
                data = pool[at:at + n]
            elif kind == "zeros":
                data = b"\x00" * n
            else:
                at = rng.randrange(0, len(text) - n)
                data = text[at:at + n]
                data += b"\x00" * pad(len(data))
            data = data[:total - pos]
            img.write(data)
            written[kind] += len(data)
            pos += len(data)
    if manifest:
        with open(manifest, "w") as f:
            f.writelines(lines)


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "files":
        make_files(sys.argv[2])
    elif len(sys.argv) == 5 and sys.argv[1] == "compare":
        make_compare(sys.argv[2], sys.argv[3], sys.argv[4])
    elif len(sys.argv) in (5, 6) and sys.argv[1] == "mixed":
        make_mixed(sys.argv[2], sys.argv[3], int(sys.argv[4]), *sys.argv[5:])
    else:
        sys.stderr.write(__doc__)
        sys.exit(2)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Makes the raw images of the carving benchmarks: real files of the carvable families laid
out on sector boundaries, with no file system around them.

usage:
  make-carve-image.py files OUTDIR
      Real files of every carvable family: those of tests/fixtures/carving/make_real_files.py
      plus old Office documents (Word, Excel, PowerPoint streams in a compound file written
      by gsf), and larger files of the common families in several sizes: camera-sized JPEGs
      (one of several MiB), a larger PNG, H.264 MP4s of a few seconds and of several MiB, and a
      PDF of many pages.
  make-carve-image.py compare FILESDIR IMAGE MANIFEST [VARIANT]
      Every file of FILESDIR once, in a shuffled order, each starting on a 512-byte sector,
      separated by gaps of zeros, of random bytes or of nothing at all. The slack after a
      file's end up to its sector's end is zero. One JPEG is laid in two pieces around the
      file that follows it: the first piece ends on a sector boundary, that file follows whole,
      then the JPEG's second piece. VARIANT (1, the default, or 2) picks the order, the gaps and
      the JPEG split. MANIFEST gets one line per file: name, byte offset, size, SHA-256,
      tab-separated; the split JPEG's line adds the first piece's length and the second
      piece's byte offset.
  make-carve-image.py mixed FILESDIR IMAGE SIZE_MIB [MANIFEST]
      A SIZE_MIB image of mixed content: runs of random bytes, zeros and text, and the
      files of FILESDIR repeated at random sector offsets (a quarter of the image's bytes).
      MANIFEST, when given, gets a line per placed file as above.
  make-carve-image.py packed FILESDIR IMAGE SIZE_MIB [MANIFEST]
      A SIZE_MIB card packed full: the files of FILESDIR back to back, each starting on the
      sector after the previous one's end (the rest of that sector zero), round after round, each
      round in a shuffled order, until the image is full; the space no further file fits in stays
      zero. Files over 4 MiB take part in every second round only, so the small and medium
      ones dominate: about 3,800 files per GiB with the files step's set. MANIFEST as above.
  make-carve-image.py sparse FILESDIR IMAGE SIZE_MIB [MANIFEST]
      A SIZE_MIB card that is almost empty: the files of FILESDIR once each, in a shuffled
      order, in eight runs laid back to back at evenly spread MiB-aligned offsets, the rest
      zeros. Written as a sparse file, it takes only the files' space on disk. MANIFEST as
      above.

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
        # A 12-megapixel photo with the grain of a camera sensor: several MiB.
        run(["convert", "-seed", "12", "-size", "4000x3000", "plasma:fractal", "-attenuate",
             "0.6", "+noise", "Gaussian", "-quality", "92",
             os.path.join(out, "camera_12mp.jpg")], work)
        run(["convert", "-seed", "13", "-size", "2560x1920", "plasma:fractal",
             "-sampling-factor", "2x2", "-quality", "80", os.path.join(out, "camera_5mp.jpg")],
            work)
        run(["convert", "-seed", "11", "-size", "640x480", "plasma:",
             os.path.join(out, "picture_large.png")], work)
    if have("ffmpeg"):
        run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-bitexact",
             "-f", "lavfi", "-i", "testsrc2=size=640x360:rate=25:duration=4",
             "-f", "lavfi", "-i", "sine=frequency=330:duration=4",
             "-vf", "noise=alls=12:allf=t:all_seed=5",
             "-c:v", "libx264", "-preset", "veryfast", "-c:a", "aac",
             os.path.join(out, "movie.mp4")], work)
        run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-bitexact",
             "-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=30:duration=8",
             "-f", "lavfi", "-i", "sine=frequency=440:duration=8",
             "-vf", "noise=alls=20:allf=t:all_seed=9",
             "-c:v", "libx264", "-preset", "veryfast", "-b:v", "4M", "-c:a", "aac",
             os.path.join(out, "movie_hd.mp4")], work)
    if have("gs"):
        # Forty pages of drawings whose coordinates do not compress away: a PDF of some
        # hundreds of KiB, as Ghostscript writes it.
        ps = os.path.join(work, "drawings.ps")
        with open(ps, "w") as f:
            f.write("%!PS\n/Helvetica findfont 18 scalefont setfont 1 srand\n"
                    "/r { rand 600 mod } def\n")
            for page in range(40):
                f.write("72 760 moveto (Survey drawing %d) show\n" % page)
                f.write("0.2 setlinewidth 1500 { newpath r r moveto r r lineto stroke } repeat\n"
                        "showpage\n")
        run(["gs", "-q", "-dNOPAUSE", "-dBATCH", "-sDEVICE=pdfwrite",
             "-sOutputFile=" + os.path.join(out, "drawings.pdf"), ps], work)
    shutil.rmtree(work)
    for name in os.listdir(out):
        path = os.path.join(out, name)
        if os.path.isfile(path) and os.path.getsize(path) == 0:
            os.remove(path)


def file_list(folder):
    return sorted(n for n in os.listdir(folder) if os.path.isfile(os.path.join(folder, n)))


def pad(n):
    return (SECTOR - n % SECTOR) % SECTOR


# The JPEG laid in two pieces in each variant of the compare image: the first of these that
# the files step made.
SPLIT_JPEGS = {1: ("camera_large.jpg", "photo.jpg"), 2: ("camera_5mp.jpg", "photo.jpg")}


def make_compare(folder, image, manifest, variant=1):
    rng = random.Random(20240613 if variant == 1 else 20240613 + 1000 * variant)
    names = file_list(folder)
    rng.shuffle(names)
    split = next((n for n in SPLIT_JPEGS.get(variant, SPLIT_JPEGS[1]) if n in names), None)
    # The file after the split JPEG lies between its pieces; the JPEG is not the last file.
    if split is not None and names[-1] == split:
        names[-1], names[0] = names[0], names[-1]
    lines = []
    pending = None  # (name, data, cut, offset of the first piece) of the split JPEG
    with open(image, "wb") as img:
        img.write(b"\x00" * 65536)  # nothing that looks like a partition table
        for i, name in enumerate(names):
            # Gaps: none (files back to back), zeros or random bytes, whole sectors. The second
            # variant cycles through them in another order and with wider gaps.
            if variant == 1:
                kind = ("none", "zeros", "random")[i % 3] if i % 7 else "none"
                sectors = 0 if kind == "none" else rng.randint(1, 128)
            else:
                kind = ("random", "none", "zeros")[i % 3] if i % 5 else "random"
                sectors = 0 if kind == "none" else rng.randint(1, 512)
            if pending is None:
                if kind == "zeros":
                    img.write(b"\x00" * sectors * SECTOR)
                elif kind == "random":
                    img.write(rng.randbytes(sectors * SECTOR))
            data = read(os.path.join(folder, name))
            offset = img.tell()
            if name == split and len(data) > 2 * SECTOR:
                # The first piece ends on a sector boundary, about halfway.
                cut = max(SECTOR, (len(data) // 2) // SECTOR * SECTOR)
                img.write(data[:cut])
                pending = (name, data, cut, offset)
                continue
            img.write(data + b"\x00" * pad(len(data)))
            lines.append("%s\t%d\t%d\t%s\n" % (name, offset, len(data),
                                               hashlib.sha256(data).hexdigest()))
            if pending is not None:
                jpeg, whole, cut, first = pending
                second = img.tell()
                img.write(whole[cut:] + b"\x00" * pad(len(whole) - cut))
                lines.append("%s\t%d\t%d\t%s\t%d\t%d\n" % (
                    jpeg, first, len(whole), hashlib.sha256(whole).hexdigest(), cut, second))
                pending = None
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


def make_packed(folder, image, size_mib, manifest=None):
    rng = random.Random(20240615)
    total = size_mib * 1024 * 1024
    names = file_list(folder)
    files = [read(os.path.join(folder, n)) for n in names]
    digests = [hashlib.sha256(d).hexdigest() for d in files]
    big = 4 * 1024 * 1024
    lines = []
    pos = 0
    rnd = 0
    with open(image, "wb") as img:
        while True:
            order = [i for i in range(len(files)) if len(files[i]) <= big or rnd % 2 == 0]
            rng.shuffle(order)
            placed = 0
            for i in order:
                data = files[i]
                if pos + len(data) > total:
                    continue  # a smaller one further on may still fit
                img.write(data + b"\x00" * pad(len(data)))
                lines.append("%s\t%d\t%d\t%s\n" % (names[i], pos, len(data), digests[i]))
                pos += len(data) + pad(len(data))
                placed += 1
            if placed == 0:
                break
            rnd += 1
        img.truncate(total)
    if manifest:
        with open(manifest, "w") as f:
            f.writelines(lines)


def make_sparse(folder, image, size_mib, manifest=None):
    rng = random.Random(20240616)
    total = size_mib * 1024 * 1024
    names = file_list(folder)
    rng.shuffle(names)
    runs = 8
    step = total // runs // (1024 * 1024) * (1024 * 1024)
    lines = []
    with open(image, "wb") as img:
        img.truncate(total)  # all holes: zeros that take no space
        for r in range(runs):
            pos = r * step + step // 2 // (1024 * 1024) * (1024 * 1024)
            for name in names[r::runs]:
                data = read(os.path.join(folder, name))
                if pos + len(data) > min(total, (r + 1) * step):
                    break  # a small card: this run's room is full
                img.seek(pos)
                img.write(data)
                lines.append("%s\t%d\t%d\t%s\n" % (name, pos, len(data),
                                                   hashlib.sha256(data).hexdigest()))
                pos += len(data) + pad(len(data))
    if manifest:
        with open(manifest, "w") as f:
            f.writelines(lines)


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "files":
        make_files(sys.argv[2])
    elif len(sys.argv) in (5, 6) and sys.argv[1] == "compare":
        make_compare(sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5]) if len(sys.argv) > 5 else 1)
    elif len(sys.argv) in (5, 6) and sys.argv[1] == "mixed":
        make_mixed(sys.argv[2], sys.argv[3], int(sys.argv[4]), *sys.argv[5:])
    elif len(sys.argv) in (5, 6) and sys.argv[1] in ("packed", "sparse"):
        make = make_packed if sys.argv[1] == "packed" else make_sparse
        make(sys.argv[2], sys.argv[3], int(sys.argv[4]), *sys.argv[5:])
    else:
        sys.stderr.write(__doc__)
        sys.exit(2)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Scores the outputs of file carvers against the files laid into the image.

usage: score.py MANIFEST FILESDIR LABEL=OUTDIR...

For each tool: exact = originals of which some output is a byte-identical copy; partial =
the other originals of which some output starts with the original's first bytes (the first
min(4 KiB, both lengths) bytes equal, at least 512 of them or the whole original) but
differs later; false positives = outputs that are neither a copy of an original nor start like
one; outputs = every file the tool wrote (its own reports left out). An output that starts
like several originals (a file and its variant with an appended record) is given to the one
not yet recovered whole that it shares the longest prefix with.

A file laid in two pieces (its manifest line adds the first piece's length and the second
piece's offset) counts as exact only for an output equal to the whole file.

Prints Markdown: the summary table (with the false positives per twenty files of the image,
flagged when above one), the state of every original per tool (with the length a partial copy
has, so cut or overlong lengths show), and the false positives of the first tool with the place
in the image each one starts (when its name carries the start sector).
"""

import hashlib
import os
import re
import sys

SECTOR = 512
PREFIX = 4096
REPORTS = {"report.xml", "audit.txt", "photorec.log", "photorec.ses"}
# Start sector encoded in output names: ours "<LBA>.<ext>", PhotoRec "f<LBA>[_name].<ext>",
# foremost "<LBA>.<ext>" (512-byte units); scalpel numbers its files in order.
NAME_LBA = [re.compile(r"^(\d+)\."), re.compile(r"^f(\d+)[._]")]


# Above this many false positives per twenty files of the image a tool's row is flagged.
FALSE_PER_TWENTY_LIMIT = 1.0


class Original:
    def __init__(self, name, offset, size, digest, data, cut=None, second=None):
        self.name, self.offset, self.size, self.digest, self.data = name, offset, size, digest, data
        # A file in two pieces: data[:cut] at offset, data[cut:] at second.
        self.cut, self.second = cut, second

    def pieces(self):
        if self.cut is None:
            return [(self.offset, self.size, 0)]
        return [(self.offset, self.cut, 0), (self.second, self.size - self.cut, self.cut)]


def load(manifest, folder):
    out = []
    with open(manifest) as f:
        for line in f:
            fields = line.rstrip("\n").split("\t")
            name, offset, size, digest = fields[:4]
            cut, second = (int(fields[4]), int(fields[5])) if len(fields) >= 6 else (None, None)
            with open(os.path.join(folder, name), "rb") as g:
                data = g.read()
            out.append(Original(name, int(offset), int(size), digest, data, cut, second))
    return out


def outputs(folder):
    found = []
    for base, _, names in os.walk(folder):
        for n in names:
            if base == folder and n in REPORTS:
                continue
            if base != folder and n in REPORTS and os.path.dirname(base) == folder:
                continue  # PhotoRec's report.xml inside each recup_dir.N
            p = os.path.join(base, n)
            if os.path.isfile(p) and not os.path.islink(p):
                found.append(p)
    return sorted(found)


def common_prefix(a, b):
    n = min(len(a), len(b))
    lo = 0
    step = 65536
    while lo < n and a[lo:lo + step] == b[lo:lo + step]:
        lo += step
    hi = min(n, lo + step)
    while lo < hi and a[lo] == b[lo]:
        lo += 1
    return min(lo, n)


def starts_like(out, orig):
    k = min(PREFIX, len(orig), len(out))
    return k >= min(SECTOR, len(orig)) and k > 0 and out[:k] == orig[:k]


def where(originals, lba):
    at = lba * SECTOR
    for o in originals:
        for start, length, base in o.pieces():
            end = start + length
            if start <= at < end:
                return "inside %s at +%d" % (o.name, base + at - start)
            if end <= at < end + (-end % SECTOR):
                return "slack of %s" % o.name
    return "gap"


def false_per_twenty(s, files):
    return len(s["false"]) * 20.0 / files if files else 0.0


def lba_of(name):
    for rx in NAME_LBA:
        m = rx.match(name)
        if m:
            return int(m.group(1))
    return None


def score(originals, folder):
    by_digest = {o.digest: o for o in originals}
    exact, partial, false, rest = {}, {}, [], []
    files = outputs(folder)
    for path in files:
        with open(path, "rb") as f:
            data = f.read()
        digest = hashlib.sha256(data).hexdigest()
        if digest in by_digest:
            exact[by_digest[digest].name] = path
        else:
            rest.append((path, data))
    for path, data in rest:
        cands = [o for o in originals if starts_like(data, o.data)]
        if not cands:
            false.append((path, len(data)))
            continue
        # A file already recovered whole is the less likely source of another output that
        # starts like it and like a variant of it.
        open_cands = [o for o in cands if o.name not in exact] or cands
        best = max(open_cands, key=lambda o: common_prefix(data, o.data))
        same = common_prefix(data, best.data)
        prev = partial.get(best.name)
        if best.name not in exact and (prev is None or same > prev[2]):
            partial[best.name] = (path, len(data), same)
    return {"exact": exact, "partial": partial, "false": false, "outputs": len(files)}


def cell(o, s):
    if o.name in s["exact"]:
        return "exact"
    if o.name in s["partial"]:
        _, size, same = s["partial"][o.name]
        if same == o.size:
            return "partial: %d B, %d too long" % (size, size - o.size)
        if same == size:
            return "partial: cut at %d B" % size
        return "partial: %d B, differs from byte %d" % (size, same)
    return "-"


def main():
    if len(sys.argv) < 4:
        sys.stderr.write(__doc__)
        sys.exit(2)
    originals = load(sys.argv[1], sys.argv[2])
    tools = []
    for arg in sys.argv[3:]:
        label, folder = arg.split("=", 1)
        tools.append((label, folder, score(originals, folder)))

    print("| tool | exact | partial | false positives | per 20 files | outputs |")
    print("|---|---:|---:|---:|---:|---:|")
    flagged = []
    for label, _, s in tools:
        rate = false_per_twenty(s, len(originals))
        mark = ""
        if rate > FALSE_PER_TWENTY_LIMIT:
            mark = " (above 1)"
            flagged.append(label)
        print("| %s | %d | %d | %d | %.1f%s | %d |" % (label, len(s["exact"]), len(s["partial"]),
                                                       len(s["false"]), rate, mark, s["outputs"]))
    print("\n%d files in the image%s." % (len(originals), "".join(
        ", %s in two pieces" % o.name for o in originals if o.cut is not None)))
    if flagged:
        print("More than one false positive per twenty files: %s." % ", ".join(flagged))
    print()

    print("### Every file")
    print()
    print("| file | size | " + " | ".join(t[0] for t in tools) + " |")
    print("|---|---:|" + "---|" * len(tools))
    for o in sorted(originals, key=lambda o: (os.path.splitext(o.name)[1], o.name)):
        print("| %s | %d | %s |" % (o.name, o.size, " | ".join(cell(o, t[2]) for t in tools)))

    label, _, s = tools[0]
    print("\n### False positives of %s\n" % label)
    if not s["false"]:
        print("None.")
        return
    print("| output | size | starts |")
    print("|---|---:|---|")
    for path, size in s["false"]:
        name = os.path.basename(path)
        lba = lba_of(name)
        place = where(originals, lba) if lba is not None else "?"
        print("| %s | %d | %s |" % (name, size, place))


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Scores what one tool wrote for one partition of a whole-disk image against expected.tsv.

Usage: score.py EXPECTED.tsv IMAGE PARTITION|all OUTDIR
Prints "DELETED FILES EXACT NAMED": the deleted files the partition held, the non-empty files
under OUTDIR, the deleted files OUTDIR holds a byte-identical copy of (under any name), and
those among them whose copy also carries the file's own name (or "name(n).ext", the form a
tool uses when a name is taken).
"""
import csv
import hashlib
import os
import re
import sys


def main():
    expected, image, part, outdir = sys.argv[1:5]
    with open(expected, encoding="utf-8", newline="") as f:
        rows = [r for r in csv.DictReader(f, delimiter="\t")
                if r["image"] == image and (part == "all" or r["partition"] == part)]
    names_by_hash = {}
    files = 0
    for top, _, names in os.walk(outdir):
        for name in names:
            path = os.path.join(top, name)
            if os.path.islink(path) or not os.path.isfile(path) or os.path.getsize(path) == 0:
                continue
            files += 1
            h = hashlib.sha256()
            with open(path, "rb") as g:
                for block in iter(lambda: g.read(1 << 20), b""):
                    h.update(block)
            names_by_hash.setdefault(h.hexdigest(), set()).add(name)
    exact = named = 0
    for r in rows:
        names = names_by_hash.get(r["sha256"])
        if not names:
            continue
        exact += 1
        stem, ext = os.path.splitext(os.path.basename(r["path"]))
        own = re.compile(re.escape(stem) + r"(\(\d+\))?" + re.escape(ext) + r"\Z")
        if any(own.match(n) for n in names):
            named += 1
    print(len(rows), files, exact, named)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Scores what recovery tools wrote from a formatted volume against the tree that was on it.

usage: score_fs.py TREEDIR LABEL=OUTDIR...

The originals are every file under TREEDIR (the same content may sit in several folders under
other names). Per tool, as bench/carve_compare/score.py counts them:
  exact    originals of which some output is a byte-identical copy (a content present n times
           in the tree is counted at most n times);
  named    of those, the ones whose copy also has the original's file name (basename,
           case-insensitive);
  partial  originals not recovered whole of which some output starts like the original (the
           first min(4 KiB, both lengths) bytes equal, at least 512 or the whole original);
  extra    outputs beyond that: more byte-identical or partial copies of a file than the tree
           holds (duplicates);
  false    outputs that start like no original (false positives);
  outputs  every file the tool wrote (its reports left out).

Prints Markdown: the table, then for the first tool the details that show its faults: the
originals it missed (by extension, with examples), the exact copies under another name, the
partial copies (with their lengths), the extra copies and the false positives.
"""

import collections
import hashlib
import os
import re
import sys

sys.dont_write_bytecode = True  # no __pycache__ left in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "carve_compare"))
from score import common_prefix, outputs, starts_like  # noqa: E402

EXAMPLES = 12
CARVED_NAME = re.compile(r"^(f?\d+)(_[^.]*)?(\.[^.]*)?$")  # ours <LBA>.ext, PhotoRec f<LBA>[_x].ext


class Original:
    def __init__(self, rel, data):
        self.rel, self.data, self.size = rel, data, len(data)
        self.name = os.path.basename(rel).lower()
        self.digest = hashlib.sha256(data).hexdigest()


def load_tree(tree):
    out = []
    for base, _, names in os.walk(tree):
        for n in names:
            p = os.path.join(base, n)
            with open(p, "rb") as f:
                out.append(Original(os.path.relpath(p, tree), f.read()))
    return sorted(out, key=lambda o: o.rel)


def score(originals, folder):
    groups = collections.defaultdict(list)  # digest -> originals of that content
    for o in originals:
        groups[o.digest].append(o)
    by_digest = collections.defaultdict(list)  # digest -> outputs of that content
    rest = []
    files = outputs(folder)
    for path in files:
        with open(path, "rb") as f:
            data = f.read()
        d = hashlib.sha256(data).hexdigest()
        if d in groups:
            by_digest[d].append(path)
        else:
            rest.append((path, data))

    exact, named, renamed, extra = [], [], [], []  # (original, output) pairs / outputs
    missing = {}  # digest -> originals of it not recovered whole
    for d, origs in groups.items():
        outs = list(by_digest.get(d, []))
        # Give each output to an original of the same name first, then to the others.
        left = []
        pending = list(origs)
        for o in origs:
            match = next((p for p in outs if os.path.basename(p).lower() == o.name), None)
            if match:
                outs.remove(match)
                named.append((o, match))
                exact.append((o, match))
                pending.remove(o)
        for o in pending:
            if outs:
                p = outs.pop(0)
                exact.append((o, p))
                renamed.append((o, p))
            else:
                left.append(o)
        extra += [(origs[0], p, "exact") for p in outs]
        if left:
            missing[d] = left

    partial, false = [], []
    # Each output that is no copy goes to the content it shares the longest prefix with,
    # among those still missing when there are such.
    offers = collections.defaultdict(list)  # digest -> (common prefix, path, size)
    firsts = {d: g[0] for d, g in groups.items()}
    for path, data in rest:
        cands = [o for o in firsts.values() if starts_like(data, o.data)]
        if not cands:
            false.append((path, len(data), data[:16]))
            continue
        open_cands = [o for o in cands if o.digest in missing] or cands
        best = max(open_cands, key=lambda o: common_prefix(data, o.data))
        offers[best.digest].append((common_prefix(data, best.data), path, len(data)))
    for d, offered in offers.items():
        offered.sort(reverse=True)
        left = missing.get(d, [])
        for i, (same, path, size) in enumerate(offered):
            if i < len(left):
                partial.append((left[i], path, size, same))
            else:
                extra.append((groups[d][0], path, "partial"))
        if left:
            missing[d] = left[len(offered):]
    missed = [o for left in missing.values() for o in left]
    return {"exact": exact, "named": named, "renamed": renamed, "partial": partial,
            "extra": extra, "false": false, "missed": missed, "outputs": len(files)}


def rel_out(path, folder):
    return os.path.relpath(path, folder)


def whence(path, originals):
    """Where the output's first bytes sit in the tree: the start of a file or inside one."""
    with open(path, "rb") as f:
        head = f.read(512)
    if len(head) < 16:
        return "?"
    for o in originals:
        at = o.data.find(head)
        if at >= 0:
            return ("the start of `%s` (or a copy)" % o.rel) if at == 0 else (
                "`%s` (or a copy) at +%d" % (o.rel, at))
    return "no file of the tree"


def details(label, folder, s, originals):
    print("\n#### Faults of %s\n" % label)
    missed = sorted(s["missed"], key=lambda o: o.rel)
    by_ext = collections.Counter(os.path.splitext(o.rel)[1].lower() or "(none)" for o in missed)
    print("- missed (no exact nor partial copy): %d%s" % (
        len(missed), "" if not missed else " — by extension: " +
        ", ".join("%s %d" % (e, n) for e, n in by_ext.most_common())))
    for o in missed[:EXAMPLES]:
        print("  - `%s` (%d B)" % (o.rel, o.size))
    carved = [(o, p) for o, p in s["renamed"] if CARVED_NAME.match(os.path.basename(p))]
    other = [(o, p) for o, p in s["renamed"] if not CARVED_NAME.match(os.path.basename(p))]
    print("- exact copies without their name: %d under a carver's number, %d under another "
          "name" % (len(carved), len(other)))
    for o, p in other[:EXAMPLES]:
        print("  - `%s` → `%s`" % (o.rel, rel_out(p, folder)))
    for o, p in carved[:3]:
        print("  - `%s` → `%s`" % (o.rel, rel_out(p, folder)))
    print("- partial copies: %d" % len(s["partial"]))
    for o, p, size, same in sorted(s["partial"], key=lambda t: t[0].rel)[:EXAMPLES]:
        if same == o.size:
            how = "%d B too long" % (size - o.size)
        elif same == size:
            how = "cut at %d B" % size
        else:
            how = "%d B, differs from byte %d" % (size, same)
        print("  - `%s` (%d B) → `%s`: %s" % (o.rel, o.size, rel_out(p, folder), how))
    kinds = collections.Counter("%s copy of a %s as %s" % (
        kind, os.path.splitext(o.rel)[1].lower(), os.path.splitext(p)[1].lower() or "(none)")
        for o, p, kind in s["extra"])
    print("- extra copies (duplicates): %d%s" % (len(s["extra"]), "" if not kinds else " — " +
          ", ".join("%s %d" % (k, n) for k, n in kinds.most_common())))
    shown = set()
    for o, p, kind in s["extra"]:
        ext = os.path.splitext(p)[1].lower()
        if (ext, kind) in shown:
            continue  # one example of each kind
        shown.add((ext, kind))
        print("  - `%s` (%s copy of `%s`)" % (rel_out(p, folder), kind, o.rel))
    # The worst outputs: an original's name on other content.
    by_name = {o.name: o for o in originals}
    wrong = [(p, size) for p, size, _ in s["false"] if os.path.basename(p).lower() in by_name]
    wrong += [(p, size) for o, p, size, _ in s["partial"]
              if os.path.basename(p).lower() in by_name and os.path.basename(p).lower() != o.name]
    print("- outputs under an original's name whose content is no copy of it: %d" % len(wrong))
    for p, size in wrong[:EXAMPLES]:
        o = by_name[os.path.basename(p).lower()]
        print("  - `%s` (%d B; the original is %d B; its first sector is in %s)" % (
            rel_out(p, folder), size, o.size, whence(p, originals)))
    print("- false positives: %d" % len(s["false"]))
    for p, size, head in s["false"][:EXAMPLES]:
        print("  - `%s` (%d B, starts %s; its first sector is in %s)" % (
            rel_out(p, folder), size, head[:8].hex(" "), whence(p, originals)))


def main():
    if len(sys.argv) < 3:
        sys.stderr.write(__doc__)
        sys.exit(2)
    originals = load_tree(sys.argv[1])
    tools = []
    for arg in sys.argv[2:]:
        label, folder = arg.split("=", 1)
        tools.append((label, folder, score(originals, folder)))
    print("| tool | exact | exact + name | partial | missed | extra copies | false positives "
          "| outputs |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|")
    for label, _, s in tools:
        print("| %s | %d | %d | %d | %d | %d | %d | %d |" % (
            label, len(s["exact"]), len(s["named"]), len(s["partial"]), len(s["missed"]),
            len(s["extra"]), len(s["false"]), s["outputs"]))
    print("\n%d files (%d distinct contents, %.1f MiB) were on the volume." % (
        len(originals), len({o.digest for o in originals}),
        sum(o.size for o in originals) / 1048576))
    label, folder, s = tools[0]
    details(label, folder, s, originals)


if __name__ == "__main__":
    main()

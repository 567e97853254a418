#!/usr/bin/env bash
# exFAT cards, ours against The Sleuth Kit and PhotoRec: deleted files found and recovered
# byte-exact (ours --mode deleted, tsk_recover, fls -rd), and every file of the same cards after a
# quick format (ours --mode full, tsk_recover, PhotoRec). The cards come from
# scripts/make-exfat-cards.sh (mkfs.exfat and the FUSE driver on a loop device: root): 4 KiB and
# 128 KiB clusters, folders five levels deep, a deleted folder, a file written into a hole, a
# fragmented deleted file. Our side runs when norvale-cli reads exFAT (`norvale-cli detect`
# says so); until then its columns show "-".
#
# Columns: files = files the tool wrote; exact = files of the card with a byte-identical copy
# among them; named = of those, copies that kept the file's name; path = copies that kept its
# name and every folder (the written path ends with the card's path); other = written files that
# are no file of the card (false positives, pieces, thumbnails).
# Usage: bench/exfat_compare/run.sh [BUILD_DIR]
set -euo pipefail
# shellcheck source=bench/lib.sh
. "$(dirname "$0")/../lib.sh"
bench_init "${1:-build}"
need_peers tsk_recover fls photorec mkfs.exfat mount.exfat-fuse
work=$(bench_tmp)
bench_cleanup_on_exit "$work"
export XDG_DATA_HOME="$work/xdg" XDG_CONFIG_HOME="$work/xdg" LC_ALL=C.UTF-8

"$root/scripts/make-exfat-cards.sh" "$work/cards" >/dev/null

ours_reads_exfat=0
if [ -x "$cli" ] && "$cli" detect "$work/cards/exfat_4k.img" 2>/dev/null | grep -Eq '(^|: )exFAT$'; then
    ours_reads_exfat=1
fi

# files exact named path other, for the manifest's files in STATES (live,deleted) found in OUTDIR.
score() {  # card states outdir
    python3 - "$work/cards/$1.manifest" "$2" "$3" <<'PY'
import hashlib, os, sys
manifest, states, out = sys.argv[1], sys.argv[2].split(','), sys.argv[3]
want = {}  # sha256 -> paths on the card
every = set()
for line in open(manifest, encoding='utf-8'):
    state, path, size, sha, note = line.rstrip('\n').split('\t')
    every.add(sha)
    if state in states and int(size) > 0:
        want.setdefault(sha, []).append(path)
written = []
for d, _, names in os.walk(out):
    for n in names:
        p = os.path.join(d, n)
        if os.path.isfile(p) and not os.path.islink(p) and os.path.getsize(p) > 0:
            written.append((p, hashlib.sha256(open(p, 'rb').read()).hexdigest()))
exact = {sha for _, sha in written if sha in want}
named = {sha for p, sha in written
         if sha in want and any(os.path.basename(p) == os.path.basename(c) for c in want[sha])}
path = {sha for p, sha in written if sha in want and any(p.endswith(c) for c in want[sha])}
other = sum(1 for _, sha in written if sha not in every)
n = len(want)
print(len(written), '%d/%d' % (len(exact), n), '%d/%d' % (len(named), n), '%d/%d' % (len(path), n),
      other)
PY
}

ours() {  # mode image outdir
    rm -rf "$3" "$work/xdg"
    mkdir -p "$3"
    if [ "$ours_reads_exfat" = 1 ]; then
        "$cli" recover "$2" --mode "$1" --to "$3" -q >/dev/null 2>&1 || true
    fi
}
ours_score() {  # card states outdir
    if [ "$ours_reads_exfat" = 1 ]; then score "$@"; else echo "- - - - -"; fi
}

echo "Deleted files (live card)"
printf '%-11s | %5s %6s %6s %6s | %5s %6s %6s %6s | %7s\n' card ours exact named path tsk exact \
    named path "fls -rd"
for card in exfat_4k exfat_128k; do
    img="$work/cards/$card.img"
    ours deleted "$img" "$work/ours"
    rm -rf "$work/tsk" && mkdir -p "$work/tsk"
    tsk_recover "$img" "$work/tsk" >/dev/null 2>&1 || true
    fls_count=$(fls -rd "$img" | grep -v -c -e '^[+]*[ ]*d/d' -e '\$OrphanFiles' || true)
    read -r of oe on op _ < <(ours_score "$card" deleted "$work/ours")
    read -r tf te tn tp _ < <(score "$card" deleted "$work/tsk")
    printf '%-11s | %5s %6s %6s %6s | %5s %6s %6s %6s | %7s\n' "$card" "$of" "$oe" "$on" "$op" \
        "$tf" "$te" "$tn" "$tp" "$fls_count"
done

echo
echo "Quick-formatted card (every file the card held: live and deleted)"
printf '%-21s | %5s %6s %6s %5s | %5s %6s %6s %5s | %5s %6s %5s\n' card ours exact named other \
    tsk exact named other photorec exact other
for card in exfat_4k exfat_128k; do
    img="$work/cards/${card}_formatted.img"
    ours full "$img" "$work/ours"
    rm -rf "$work/tsk" "$work/photorec" && mkdir -p "$work/tsk" "$work/photorec"
    tsk_recover "$img" "$work/tsk" >/dev/null 2>&1 || true
    (cd "$work" && photorec_carve "$img" "$work/photorec" >/dev/null 2>&1) || true
    read -r of oe on _ oo < <(ours_score "$card" live,deleted "$work/ours")
    read -r tf te tn _ to < <(score "$card" live,deleted "$work/tsk")
    read -r pf pe _ _ po < <(score "$card" live,deleted "$work/photorec")
    printf '%-21s | %5s %6s %6s %5s | %5s %6s %6s %5s | %5s %6s %5s\n' "${card}_formatted" \
        "$of" "$oe" "$on" "$oo" "$tf" "$te" "$tn" "$to" "$pf" "$pe" "$po"
done
echo "tools: $(fls -V 2>&1 | head -n 1); PhotoRec $(photorec_version)"
if [ "$ours_reads_exfat" = 0 ]; then
    echo "norvale-cli ($cli) does not read exFAT in this build: our columns not run"
fi

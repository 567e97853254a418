#!/bin/sh
# Builds the small FAT images committed under tests/fixtures/fat, together with what mtools
# reports about their files, so the parser tests can check chains and deleted entries without
# dosfstools or mtools installed. Needs mkfs.fat, mtools and gzip.
#
#   scripts/make-fat-fixtures.sh          rewrite the fixtures in the source tree
#
# fat12_card.img.gz: a 2000 KiB FAT12 card with one-sector clusters, so that cluster numbers
# pass 341 and 682, whose 12-bit entries straddle sector boundaries. It holds live files, an
# 8.3-named and a long-named deleted photo, a fragmented file that reused their clusters, and a
# deleted folder with its content.
# fat12_card.txt: one line per file, fields separated by tabs:
#   live     PATH  SIZE  CLUSTERS...     (the chain, in order)
#   deleted  PATH  SIZE  FIRST-CLUSTER   (PATH as the volume now shows it)
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
out="$here/tests/fixtures/fat"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export MTOOLS_SKIP_CHECK=1 TZ=UTC LC_ALL=C.UTF-8
mkdir -p "$out"

img="$work/fat12_card.img"
facts="$work/fat12_card.txt"
: >"$facts"

# Content that compresses well but differs from file to file.
make_file() { # name size
    yes "$1 $2 norvale fixture line" | head -c "$2" >"$work/$1"
    touch -d '2021-06-15 13:45:38' "$work/$1"
}
put() { # local-name volume-path
    mcopy -m -i "$img" "$work/$1" "::$2"
}
chain() { # volume-path -> cluster numbers, one per line
    mshowfat -i "$img" "::$1" | tr ' ' '\n' | sed -n 's/^<\([0-9]*\)\(-\([0-9]*\)\)\{0,1\}>$/\1 \3/p' |
        while read -r first last; do seq "$first" "${last:-$first}"; done
}
record_live() { # volume-path size
    printf 'live\t%s\t%s\t%s\n' "$1" "$2" "$(chain "$1" | tr '\n' ' ' | sed 's/ $//')" >>"$facts"
}
remember_first() { # volume-path shown-path size
    printf 'deleted\t%s\t%s\t%s\n' "$2" "$3" "$(chain "$1" | head -n 1)" >>"$facts.deleted"
}

mkfs.fat -C --invariant -F 12 -s 1 -n CARD "$img" 2000 >/dev/null
make_file readme 700
make_file img 3000
make_file holiday 2500
make_file album 1800
make_file video 600000

put readme /readme.txt
mmd -i "$img" ::/DCIM ::/DCIM/100CARD "::/Old album"
for n in 1 2 3 4 5 6; do put img "/DCIM/100CARD/IMG_000$n.JPG"; done
put holiday "/DCIM/100CARD/Vacaciones en España.jpg"
put album "/Old album/photo 1.jpg"
put album "/Old album/photo 2.jpg"

remember_first /DCIM/100CARD/IMG_0002.JPG /DCIM/100CARD/!mg_0002.jpg 3000
remember_first /DCIM/100CARD/IMG_0004.JPG /DCIM/100CARD/!mg_0004.jpg 3000
remember_first "/DCIM/100CARD/Vacaciones en España.jpg" "/DCIM/100CARD/Vacaciones en España.jpg" 2500
remember_first "/Old album/photo 1.jpg" "/Old album/photo 1.jpg" 1800
remember_first "/Old album/photo 2.jpg" "/Old album/photo 2.jpg" 1800
mdel -i "$img" ::/DCIM/100CARD/IMG_0002.JPG ::/DCIM/100CARD/IMG_0004.JPG \
    "::/DCIM/100CARD/Vacaciones en España.jpg"
# The video fills the holes first, reusing the deleted photos' clusters.
put video /video.mp4
mdeltree -i "$img" "::/Old album"

record_live /readme.txt 700
for n in 1 3 5 6; do record_live "/DCIM/100CARD/IMG_000$n.JPG" 3000; done
record_live /video.mp4 600000
cat "$facts.deleted" >>"$facts"

gzip -9n <"$img" >"$out/fat12_card.img.gz"
cp "$facts" "$out/fat12_card.txt"
echo "wrote $out/fat12_card.img.gz ($(wc -c <"$out/fat12_card.img.gz") bytes) and fat12_card.txt"

#!/bin/sh
# Saves pictures of the desktop application's pages into docs/screenshots: the kinds of files,
# the disk list with a demo card image loaded, the file types, the results of scanning the card
# and the recovery window; then the results page of a card with one file of each kind, with
# the preview of a picture, a PDF page, a document's text, a text file, an archive's listing, a
# video and a sound (results-*.png); the About box over the main window (about.png), and the
# disk page at 200 % scale (scale-200.png, a second run with QT_SCALE_FACTOR=2). Runs the UI
# test program under a virtual X display, with a private silent sound server
# (scripts/test-sound.sh) so that sound and video play.
# Needs xvfb-run, and a build with the tests:
#
#   scripts/ui-screenshots.sh [BUILD_DIR]      (default: build)
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$here/build"}
out="$here/docs/screenshots"
tests="$build/tests/test_ui"
[ -x "$tests" ] || { echo "no $tests: build the test_ui target first" >&2; exit 1; }
command -v xvfb-run >/dev/null || { echo "xvfb-run is needed (package xvfb)" >&2; exit 1; }

mkdir -p "$out"
home=$(mktemp -d)
trap '"$here/scripts/test-sound.sh" stop "$home/sound"; rm -rf "$home"' EXIT
"$here/scripts/test-sound.sh" start "$home/sound"
# A private home: the pictures show no scan logs or settings of the user, in English.
XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" QT_QPA_PLATFORM=xcb \
    PULSE_SERVER="unix:$home/sound/native" \
    NORVALE_SCREENSHOTS="$out" LANG=C.UTF-8 \
    xvfb-run -a -s "-screen 0 1024x768x24" \
    "$tests" --gtest_filter='*.Save*Pictures:-*.SaveScaledPictures' >/dev/null
# The same at 200 %: a screen twice as large, so that it holds as much as the first one.
XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" QT_QPA_PLATFORM=xcb \
    QT_SCALE_FACTOR=2 NORVALE_SCREENSHOTS="$out" LANG=C.UTF-8 \
    xvfb-run -a -s "-screen 0 2048x1536x24" \
    "$tests" --gtest_filter='*.SaveScaledPictures' >/dev/null

# Small files for the repository: 8-bit palette when ImageMagick is at hand.
if command -v convert >/dev/null; then
    for f in "$out"/*.png; do
        [ -e "$f" ] || continue
        convert "$f" -strip -colors 256 PNG8:"$f.tmp" && mv "$f.tmp" "$f"
    done
fi
ls -l "$out"

#!/usr/bin/env bash
# Checks what `cmake --install` makes of a build: installs it under a temporary /usr, checks
# that the programs, their manual pages, the shell completion, the languages and (when the build
# has the desktop program) the menu entry, icons, AppStream metadata and polkit action are where
# man, shells, menus and software centres look, that the installed metadata and menu entry are
# valid, that both programs give the project's version, and that the installed desktop program
# starts and finds its language files, while a copy of it with no languages anywhere near says
# so on stderr.
# Usage: scripts/check-install.sh BUILD_DIR (the build must be complete; $CMAKE names the cmake
# to use, default the one on the PATH). Exit 77: a tool it needs is missing.
set -euo pipefail

build=$(cd "${1:?usage: check-install.sh BUILD_DIR}" && pwd)
fail() {
    echo "check-install: $*" >&2
    exit 1
}
skip() {
    echo "check-install: skipped: $*"
    exit 77
}

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || fail "no CMAKE_PROJECT_VERSION in $build/CMakeCache.txt"
# The desktop program is built (and installed) only when its folder was configured.
desktop=no
[ -f "$build/src/ui/cmake_install.cmake" ] && desktop=yes
if [ $desktop = yes ]; then
    for tool in desktop-file-validate appstreamcli; do
        command -v $tool >/dev/null || skip "$tool not found"
    done
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
root=$tmp/usr
"${CMAKE:-cmake}" --install "$build" --prefix "$root" >"$tmp/install.log" 2>&1 ||
    fail "cmake --install failed: $(cat "$tmp/install.log")"

id=org.norvale.CardRecovery
zsh_dir=$(sed -n 's/^NORVALE_ZSH_COMPLETION_DIR:[A-Z]*=//p' "$build/CMakeCache.txt")
case "$zsh_dir" in /*) zsh_dir="" ;; esac  # an absolute folder lies outside the prefix
expected=(bin/norvale-cli share/man/man1/norvale-cli.1 share/bash-completion/completions/norvale-cli
    ${zsh_dir:+"$zsh_dir/_norvale-cli"})
if [ $desktop = yes ]; then
    expected+=(bin/norvale share/man/man1/norvale.1
        share/norvale/Languages/English.ini share/norvale/Languages/Deutsch.ini
        "share/applications/$id.desktop" "share/icons/hicolor/scalable/apps/$id.svg"
        "share/metainfo/$id.metainfo.xml" share/polkit-1/actions/org.norvale.card-recovery.policy)
fi
for file in "${expected[@]}"; do
    [ -f "$root/$file" ] || fail "not installed: $file"
done
[ -x "$root/bin/norvale-cli" ] || fail "bin/norvale-cli is not executable"
[ "$("$root/bin/norvale-cli" --version)" = "norvale-cli $version" ] ||
    fail "installed norvale-cli --version: '$("$root/bin/norvale-cli" --version)', expected $version"
if [ $desktop = no ]; then
    [ ! -e "$root/bin/norvale" ] || fail "bin/norvale installed by a build without the desktop"
    echo "check-install: norvale-cli installed (no desktop program in this build)"
    exit 0
fi

# Each PNG has the size its folder names (bytes 16..23 of a PNG: width and height).
for size in 16 24 32 48 64 128 256; do
    png=$root/share/icons/hicolor/${size}x${size}/apps/$id.png
    [ -f "$png" ] || fail "not installed: ${png#"$root"/}"
    dims=$(od -An -tu1 -j16 -N8 "$png" | awk '{print $3 * 256 + $4 "x" $7 * 256 + $8}')
    [ "$dims" = "${size}x${size}" ] || fail "${png#"$root"/} is $dims"
done
grep -q '@[A-Z_]*@' "$root/share/polkit-1/actions/org.norvale.card-recovery.policy" &&
    fail "the installed polkit action still holds a placeholder"

out=$(desktop-file-validate "$root/share/applications/$id.desktop" 2>&1) || true
[ -z "$out" ] || fail "desktop-file-validate: $out"
appstreamcli validate --no-net "$root/share/metainfo/$id.metainfo.xml" >"$tmp/as.log" 2>&1 ||
    fail "appstreamcli validate: $(cat "$tmp/as.log")"
# The metadata together with the tree: the launchable menu entry is there.
appstreamcli validate-tree --no-net "$tmp" >"$tmp/as.log" 2>&1 ||
    fail "appstreamcli validate-tree: $(cat "$tmp/as.log")"

out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/bin/norvale" --version) ||
    fail "installed norvale --version failed"
[ "$out" = "norvale $version" ] || fail "installed norvale --version: '$out', expected $version"

check_start=$(dirname "$0")/check-desktop-start.sh
"$check_start" "$root/bin/norvale" || fail "the installed norvale did not start as it should"

# A copy with no languages beside or above it says where it looked. Unless the folder of the
# installation it was configured for holds languages: then it finds those (its --help names the
# folder it would read).
mkdir "$tmp/lonely"
cp "$root/bin/norvale" "$tmp/lonely/norvale"
folder=$("$tmp/lonely/norvale" --help | sed -n 's/^  \(\/.*\/\): the language files$/\1/p')
[ -n "$folder" ] || fail "norvale --help names no languages folder"
if [ "$folder" = "$tmp/lonely/Languages/" ]; then
    "$check_start" "$tmp/lonely/norvale" "$tmp/lonely/Languages/English.ini" ||
        fail "a copy without languages did not say where it looked"
elif [ -r "$folder/English.ini" ]; then
    "$check_start" "$tmp/lonely/norvale" || fail "a copy did not find $folder/English.ini"
fi
echo "check-install: installed tree of norvale $version is complete and valid"

#!/usr/bin/env bash
# The installation check of the Debian packages, as a user meets them: builds norvale-cli and
# norvale (scripts/build-packages.sh, into BUILD_DIR/packages), installs them with apt-get, uses
# the installed programs from /usr/bin (the demo card recovered, the desktop started offscreen,
# the versions, the manual pages, the shell completion), then purges both and checks that
# nothing they installed is left. Whatever fails, the packages are purged again.
# Needs root, apt-get, dpkg-buildpackage, man, bash-completion and the demo card's tools
# (mkfs.fat, mtools, python3); exits 77 (skipped) without them, and when a norvale package is
# already installed on this machine (someone's own installation is never replaced or removed).
# Usage: scripts/check-packages.sh BUILD_DIR
set -euo pipefail

build_dir=${1:?usage: check-packages.sh BUILD_DIR}
# apt-get takes a path to a .deb only as one, "./x.deb" or "/x.deb": the folder is made absolute.
build_dir=$(cd "$build_dir" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
packages=(norvale norvale-cli)

skip() {
    echo "SKIPPED: $*"
    exit 77
}
fail() {
    echo "FAILED: $*" >&2
    exit 1
}
step() { echo "== $*"; }

[ "$(id -u)" -eq 0 ] || skip "installing packages needs root"
# The demo card is made with mkfs.fat and mtools; man and bash-completion read what we install.
for tool in apt-get dpkg-buildpackage mkfs.fat mcopy python3 man; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool not found"
done
[ -f /usr/share/bash-completion/bash_completion ] || skip "bash-completion is not installed"
# dpkg's state of a package: "not-installed" (or nothing, for a name dpkg never saw) when absent.
state() { dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null || true; }
for p in "${packages[@]}"; do
    s=$(state "$p")
    [ -z "$s" ] || [ "$s" = not-installed ] || skip "package $p is already on this machine ($s)"
done

work=$(mktemp -d)
installed=0
# What apt-get brings in besides the two (pkexec, which norvale recommends, on a machine without
# it) goes again with them, so the machine is left as it was found.
dpkg-query -W -f='${db:Status-Status} ${Package}\n' | awk '$1 == "installed" {print $2}' |
    sort >"$work/before.txt"
purge_ours() {
    local pulled
    pulled=$(dpkg-query -W -f='${db:Status-Status} ${Package}\n' | awk '$1 == "installed" {print $2}' |
        sort | comm -13 "$work/before.txt" - | grep -vx -e norvale -e norvale-cli |
        comm -12 - <(apt-mark showauto | sort) || true)
    [ -z "$pulled" ] || echo "With them goes what apt-get installed for them:" "${pulled//$'\n'/ }"
    # shellcheck disable=SC2086  # one package name a word
    apt-get "${apt_wait[@]}" purge -y "${packages[@]}" $pulled
}
cleanup() {
    local status=$?
    if [ "$installed" -eq 1 ]; then
        echo "== Purging the packages after the failure"
        purge_ours >/dev/null 2>&1 || true
    fi
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
export DEBIAN_FRONTEND=noninteractive
# Another installation running on the machine holds dpkg's lock for a while: wait for it.
apt_wait=(-o DPkg::Lock::Timeout=300)
# Scan logs, settings and the desktop's instance lock stay in this run's folders.
export XDG_DATA_HOME="$work/xdg-data" XDG_CONFIG_HOME="$work/xdg-config"
export XDG_RUNTIME_DIR="$work/xdg-runtime"
mkdir -p "$XDG_DATA_HOME" "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

step "Building the packages"
out="$build_dir/packages"
"$root/scripts/build-packages.sh" "$out"
debs=("$out"/norvale_*.deb "$out"/norvale-cli_*.deb)
for deb in "${debs[@]}"; do
    [ -f "$deb" ] || fail "no package $deb"
done
version=$(dpkg-deb -f "$out"/norvale-cli_*.deb Version)

step "The command line depends on no Qt library"
cli_depends=$(dpkg-deb -f "$out"/norvale-cli_*.deb Depends)
echo "norvale-cli Depends: $cli_depends"
if grep -qi 'qt' <<<"$cli_depends"; then fail "norvale-cli depends on Qt"; fi

step "apt-get install ${debs[*]##*/}"
installed=1
apt-get "${apt_wait[@]}" install -y "${debs[@]}"
for p in "${packages[@]}"; do
    [ "$(state "$p")" = installed ] || fail "$p is not installed after apt-get install"
done
listed="$work/listed.txt"
dpkg -L "${packages[@]}" | sort -u >"$listed"
echo "$(wc -l <"$listed") paths installed"
grep -qx /usr/share/norvale "$listed" || fail "norvale installed nothing under /usr/share/norvale"

step "Versions"
cli_says=$(/usr/bin/norvale-cli --version)
echo "$cli_says"
[ "$cli_says" = "norvale-cli $version" ] || fail "norvale-cli --version: expected norvale-cli $version"
desktop_says=$(QT_QPA_PLATFORM=offscreen timeout 20 /usr/bin/norvale --version) ||
    fail "norvale --version failed"
echo "$desktop_says"
[ "$desktop_says" = "norvale $version" ] || fail "norvale --version: expected norvale $version"

step "The installed norvale-cli recovers the demo card"
card=$("$root/scripts/make-demo-card.sh" "$work/card.img" "$work/originals")
/usr/bin/norvale-cli recover "$card" --mode deleted --to "$work/recovered" ||
    fail "norvale-cli recover exited with $?"
# The photos and the memo deleted on the card come back byte for byte. Files are matched by
# content: a deleted 8.3 name has lost its first letter.
for deleted in IMG_0002.png "Sommer am Fjord.png" "voice memo.wav"; do
    found=""
    while IFS= read -r -d '' f; do
        if cmp -s "$f" "$work/originals/$deleted"; then found=$f; break; fi
    done < <(find "$work/recovered" -type f -print0)
    [ -n "$found" ] || fail "the deleted \"$deleted\" did not come back intact"
    echo "  ${found#"$work"/}: identical to the deleted \"$deleted\""
done
[ -n "$(ls -A "$XDG_DATA_HOME")" ] || fail "the scan kept no log under XDG_DATA_HOME"

step "The installed norvale starts offscreen, runs, and ends on SIGTERM"
"$root/scripts/check-desktop-start.sh" /usr/bin/norvale ||
    fail "the installed norvale did not start as it should"

step "Manual pages"
for page in norvale-cli norvale; do
    text=$(MANWIDTH=80 man -P cat "$page" 2>&1) || fail "man $page: $text"
    grep -q '^NAME' <<<"$text" || fail "man $page has no NAME section"
    echo "man $page: $(wc -l <<<"$text") lines, $(grep -A1 '^NAME' <<<"$text" | tail -n 1)"
done

step "Shell completion"
# bash-completion loads a command's completion on demand from its folder, as at a prompt.
bash -c '. /usr/share/bash-completion/bash_completion &&
         __load_completion norvale-cli && complete -p norvale-cli' ||
    fail "bash does not load the completion of norvale-cli"
if command -v zsh >/dev/null 2>&1; then
    zsh -fc 'for d in $fpath; do [[ -f $d/_norvale-cli ]] && { print "zsh: $d/_norvale-cli"; exit 0; }; done; exit 1' ||
        fail "_norvale-cli is in no folder of zsh's fpath"
fi

step "apt-get purge ${packages[*]}"
purge_ours
installed=0
for p in "${packages[@]}"; do
    s=$(state "$p")
    [ -z "$s" ] || [ "$s" = not-installed ] || fail "$p is still known to dpkg ($s) after the purge"
done
# Every file the packages held is gone; a folder may stay only while another package owns it or
# it holds something else.
left=()
while IFS= read -r path; do
    if [ -d "$path" ] && [ ! -L "$path" ]; then
        [ -z "$(ls -A "$path")" ] && ! dpkg-query -S "$path" >/dev/null 2>&1 && left+=("$path")
    elif [ -e "$path" ] || [ -L "$path" ]; then
        left+=("$path")
    fi
done <"$listed"
[ -e /usr/share/norvale ] && left+=(/usr/share/norvale)
[ ${#left[@]} -eq 0 ] || fail "left behind by the purge: ${left[*]}"
echo "Both packages purged; nothing they installed is left"
echo "PASSED: norvale $version packages built, installed, used and purged"

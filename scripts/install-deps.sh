#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need. Idempotent: when every
# package is present it returns at once without touching apt.
# Usage: scripts/install-deps.sh [--bench]
#   --bench  also the peer tools the benchmarks compare against (PhotoRec, foremost, scalpel);
#            `make test` does not ask for them.
set -euo pipefail

bench=0
for arg in "$@"; do
    case "$arg" in
        --bench) bench=1 ;;
        *) echo "usage: $0 [--bench]" >&2; exit 2 ;;
    esac
done

packages=(
    build-essential cmake ninja-build pkg-config git
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    libcli11-dev libblkid-dev zlib1g-dev libjpeg-dev libjpeg-turbo-progs
    clang libclang-rt-14-dev clang-format
    dosfstools mtools ntfs-3g exfatprogs exfat-fuse util-linux fdisk e2fsprogs python3
    gzip xxd zip sqlite3 sleuthkit bc gddrescue dmsetup
    imagemagick ffmpeg ghostscript p7zip-full gcab libgsf-bin fonts-freefont-ttf
    qt6-base-dev qt6-svg-dev qt6-multimedia-dev libudev-dev
    libpoppler-qt6-dev libarchive-dev libraw-dev xvfb xauth
    pulseaudio desktop-file-utils
    debhelper dpkg-dev fakeroot lintian appstream librsvg2-bin man-db groff-base
    bash-completion zsh strace
)
bench_packages=(testdisk foremost scalpel)
if [ "$bench" -eq 1 ]; then
    packages+=("${bench_packages[@]}")
fi

# One look at the package database for all of them (one dpkg-query per package takes seconds).
declare -A installed=()
while read -r name status; do
    [ "$status" = "ii" ] && installed[$name]=1
done < <(dpkg-query -W -f='${Package} ${db:Status-Abbrev}\n' "${packages[@]}" 2>/dev/null || true)
missing=()
for p in "${packages[@]}"; do
    [ -n "${installed[$p]:-}" ] || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "install-deps: installing ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
if ! "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"; then
    "${sudo_cmd[@]}" apt-get update
    "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi

#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need. Idempotent: when every
# package is present it returns at once without touching apt.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config git
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    libcli11-dev libblkid-dev
    clang libclang-rt-14-dev clang-format
    dosfstools mtools ntfs-3g util-linux fdisk e2fsprogs python3
    gzip xxd zip sqlite3 sleuthkit bc gddrescue dmsetup
    imagemagick ffmpeg ghostscript p7zip-full gcab libgsf-bin fonts-freefont-ttf
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
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

#!/usr/bin/env bash
# Builds the Debian packages norvale-cli and norvale from this checkout and checks them with
# lintian. The source is copied to OUTDIR/norvale first (the files git knows plus the untracked
# ones it does not ignore; outside a git checkout the tree without its build folders), so the
# build writes nothing outside OUTDIR and the checkout stays clean. The .deb, .changes and
# .buildinfo files land in OUTDIR, with the build's log (build.log) and lintian's (lintian.log).
# Missing build dependencies are installed when run as root (apt-get build-dep); otherwise the
# script prints the command and stops. Fails when lintian reports an error.
# Usage: scripts/build-packages.sh [OUTDIR]   (default: build-deb in the checkout; a relative
#        OUTDIR is taken from the current folder)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
outdir=${1:-$root/build-deb}
case "$outdir" in
    /*) ;;
    *) outdir="$PWD/$outdir" ;;
esac
mkdir -p "$outdir"
outdir=$(cd "$outdir" && pwd)
if [ "$outdir" = "$root" ] || [ "$outdir" = / ] || [[ "$root/" == "$outdir/"* ]]; then
    echo "build-packages: OUTDIR must be a folder of its own, not $outdir" >&2
    exit 2
fi
# The staged tree keeps its path from run to run, so ccache finds the previous build's objects.
stage="$outdir/norvale"

as_root=0
[ "$(id -u)" -eq 0 ] && as_root=1
export DEBIAN_FRONTEND=noninteractive

# apt-get, retried after an update of the package lists (a fresh machine has none); it waits
# for another installation that holds dpkg's lock.
apt_get() {
    local wait=(-o DPkg::Lock::Timeout=300)
    apt-get "${wait[@]}" "$@" || { apt-get "${wait[@]}" update && apt-get "${wait[@]}" "$@"; }
}

tools=(dpkg-buildpackage dpkg-checkbuilddeps dh lintian)
missing_tools=()
for tool in "${tools[@]}"; do
    command -v "$tool" >/dev/null 2>&1 || missing_tools+=("$tool")
done
if [ ${#missing_tools[@]} -gt 0 ]; then
    if [ "$as_root" -eq 1 ]; then
        echo "== Installing the packaging tools (missing: ${missing_tools[*]})"
        apt_get install -y --no-install-recommends dpkg-dev debhelper lintian
    else
        echo "build-packages: ${missing_tools[*]} missing; as root run:" >&2
        echo "  apt-get install dpkg-dev debhelper lintian" >&2
        exit 1
    fi
fi

echo "== Staging the source in $stage"
rm -rf "$stage"
mkdir -p "$stage"
if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    # Files deleted in the working tree are still listed by git: only those present are copied.
    # OUTDIR itself is left out when it lies inside the checkout and git does not ignore it.
    rel_out=""
    [[ "$outdir/" == "$root/"* ]] && rel_out="${outdir#"$root"/}/"
    (cd "$root" && git ls-files -z --cached --others --exclude-standard) |
        while IFS= read -r -d '' f; do
            [ -n "$rel_out" ] && [[ "$f" == "$rel_out"* ]] && continue
            if [ -e "$root/$f" ] || [ -L "$root/$f" ]; then printf '%s\0' "$f"; fi
        done |
        tar -C "$root" --null --no-recursion -T - -cf - | tar -C "$stage" -xf -
else
    excludes=(--exclude=./.git --exclude='./build*' --exclude=./out --exclude=./demo-recovered)
    [[ "$outdir/" == "$root/"* ]] && excludes+=("--exclude=./${outdir#"$root"/}")
    tar -C "$root" --anchored "${excludes[@]}" -cf - . | tar -C "$stage" -xf -
fi

# The package's version and the project's are one: a release changes both.
deb_version=$(cd "$stage" && dpkg-parsechangelog -S Version)
cmake_version=$(sed -n 's/^project(norvale.*VERSION \([0-9.]*\).*/\1/p' "$stage/CMakeLists.txt")
if [ "$deb_version" != "$cmake_version" ]; then
    echo "build-packages: debian/changelog says $deb_version, CMakeLists.txt project() says" \
        "${cmake_version:-nothing}; make them agree" >&2
    exit 1
fi

echo "== Checking the build dependencies"
if ! (cd "$stage" && dpkg-checkbuilddeps); then
    if [ "$as_root" -eq 1 ]; then
        echo "== Installing them"
        apt_get build-dep -y "$stage"
    else
        echo "build-packages: install the missing build dependencies as root:" >&2
        echo "  apt-get build-dep $stage" >&2
        exit 1
    fi
fi

# The previous run's packages go, so OUTDIR holds only this build's.
rm -f "$outdir"/norvale*_*.deb "$outdir"/norvale_*.changes "$outdir"/norvale_*.buildinfo

# ccache makes a second build fast. debhelper points HOME at a folder of its own during the
# build, so the cache folder is named explicitly.
if [ -d /usr/lib/ccache ] && command -v ccache >/dev/null 2>&1; then
    export PATH="/usr/lib/ccache:$PATH"
    CCACHE_DIR=$(ccache -k cache_dir)
    export CCACHE_DIR
fi

# No debug-symbol packages: `apt-get install ./*.deb` should install the two programs only.
jobs=$(nproc)
export DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:+$DEB_BUILD_OPTIONS }parallel=$jobs nocheck noautodbgsym"
echo "== Building the packages (DEB_BUILD_OPTIONS=$DEB_BUILD_OPTIONS; log: $outdir/build.log)"
start=$(date +%s)
if ! (cd "$stage" && dpkg-buildpackage -b -us -uc) >"$outdir/build.log" 2>&1; then
    tail -n 60 "$outdir/build.log" >&2
    echo "build-packages: dpkg-buildpackage failed; the whole log is $outdir/build.log" >&2
    exit 1
fi
echo "Built in $(($(date +%s) - start)) s:"
(cd "$outdir" && ls -l norvale*_*.deb)

changes=$(ls "$outdir"/norvale_*.changes)
echo "== lintian --info $(basename "$changes")"
status=0
lintian --info --fail-on error "$changes" >"$outdir/lintian.log" 2>&1 || status=$?
cat "$outdir/lintian.log"
if [ "$status" -ne 0 ]; then
    echo "build-packages: lintian reports errors (exit $status)" >&2
    exit 1
fi
echo "Packages in $outdir"

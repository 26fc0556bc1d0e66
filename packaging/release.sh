#!/usr/bin/env bash
# Builds, tests and packs every release artifact into build/release/: for
# each Linux architecture in packaging/architectures a .deb (dynamically
# linked, Debian's build flags) and a static tarball, the 32- and 64-bit
# Windows ZIPs, and SHA256SUMS over them all. Nothing is packed before its
# build's tests pass and its package is checked, and the new build/release/
# replaces the last one only once every artifact is made and checked. Run it
# on Debian (amd64).
#
# usage: release.sh [--no-tests]
# --no-tests builds and packs only: the same bytes, for a second clone to
# compare with a release that was tested and checked.
set -euo pipefail
cd "$(dirname "$0")/.."
export LC_ALL=C

fail() { echo "release.sh: $*" >&2; exit 1; }

case ${1-} in
--no-tests) checked=no ;;
"") checked=yes ;;
*) echo "usage: release.sh [--no-tests]" >&2; exit 2 ;;
esac

host=$(dpkg --print-architecture 2>/dev/null) || true
[ "$host" = amd64 ] || fail "needs Debian on amd64"
missing=$(packaging/packages.sh missing release | tr '\n' ' ')
[ -z "$missing" ] || fail "missing packages: ${missing% }; as root: packaging/packages.sh install release"

# build PRESET: its workflow, tests included unless --no-tests.
build() {
    if [ "$checked" = yes ]; then
        cmake --workflow --preset "$1"
    else
        cmake --preset "$1" && cmake --build --preset "$1"
    fi
}

# cached PRESET VARIABLE: its value in the cache of PRESET's build.
cached() {
    sed -n "s/^$2:[A-Z]*=//p" "build/$1/CMakeCache.txt"
}

# answers PRESET PROGRAM: run as PRESET's tests run theirs, by the same case
# runner and under the emulator its build found (none: natively), the
# program answers 7 with the whole dialogue, nothing on standard error and
# status 0. A Windows program runs in the release's own wine prefix.
answers() {
    local program=$2 run=(cmake) windows=OFF emulator
    emulator=$(cached "$1" CMAKE_CROSSCOMPILING_EMULATOR)
    if [[ "$program" == *.exe ]]; then
        run=(env "${wine[@]}" cmake) windows=ON
        wineserver=$(cached "$1" WINESERVER)
        if [ ! -d "$prefix" ]; then # a new prefix says so on standard error
            env "${wine[@]}" "$emulator" wineboot -i >/dev/null 2>&1 && env "${wine[@]}" "$wineserver" -w
        fi
    fi
    "${run[@]}" -DNAME=answers -DDIR="$work" -DPROGRAM="$program" -DINPUT=7 \
        "-DLAUNCHER=$emulator" -DWINDOWS=$windows \
        -DEXPECTED=tests/found.out -P tests/run_case.cmake || fail "$program does not answer 7 as it should"
}

# deliver PRESET NAME ARCH MACHINE: packs the preset's build with CPack,
# wants the package to be called NAME (a pattern), a .deb to be of ARCH and
# lintian-clean, and its program to be for MACHINE and to answer 7 wherever
# the build's tests run it, and puts it in the release beside, never over,
# the others.
deliver() {
    local preset=$1 name=$2 arch=$3 machine=$4 dir=$work/cpack/$1 package program kind
    cpack --config "build/$preset/CPackConfig.cmake" -B "$dir" >/dev/null
    package=$(find "$dir" -maxdepth 1 \( -name '*.deb' -o -name '*.tar.gz' -o -name '*.zip' \))
    # shellcheck disable=SC2053 # NAME is a pattern
    [[ "${package##*/}" == $name ]] || fail "made '${package##*/}', not $name"
    [ ! -e "$out/${package##*/}" ] || fail "two packages are called ${package##*/}"
    if [ "$checked" = yes ]; then
        rm -rf "$work/unpacked" && mkdir "$work/unpacked"
        case $package in
        *.deb)
            dpkg-deb -x "$package" "$work/unpacked"
            [ "$(dpkg-deb -f "$package" Architecture)" = "$arch" ] || fail "$package: wrong Architecture"
            lintian --fail-on error,warning "$package"
            ;;
        *) cmake -E chdir "$work/unpacked" cmake -E tar xf "$package" ;;
        esac
        program=$(find "$work/unpacked" -path '*/bin/binsearch' -o -name binsearch.exe)
        # `file` names an ELF program's machine after its class, a PE's first.
        kind=$(file -b "$program")
        [[ "$kind" == *", $machine"* || ("$program" == *.exe && "$kind" == "$machine"*) ]] ||
            fail "$program is not for $machine: $kind"
        [ -n "$(cached "$preset" BINSEARCH_CANNOT_RUN)" ] || answers "$preset" "$program"
    fi
    mv "$package" "$out/"
}

mkdir -p build
work=$(mktemp -d "$PWD/build/release.XXXXXX")
out=$work/release
mkdir "$out"
# The Windows programs run in a 64-bit wine prefix of the release's own,
# with wine's variables set for those runs alone.
prefix=$work/wine
wine=("WINEPREFIX=$prefix" WINEARCH=win64 WINEDEBUG=-all "WINEDLLOVERRIDES=mscoree,mshtml=")
wineserver=""
cleanup() {
    if [ -n "$wineserver" ] && [ -d "$prefix" ]; then
        env "${wine[@]}" "$wineserver" -k 2>/dev/null || true
    fi
    # Stopped between the two renames at the end, the last release goes back.
    if [ ! -e build/release ] && [ -d "$work/previous" ]; then
        mv "$work/previous" build/release
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# The archives' time stamps are the last commit's: two clones pack the same bytes.
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
export SOURCE_DATE_EPOCH CMAKE_BUILD_PARALLEL_LEVEL=2
version=$(sed -n 's/^ *VERSION \([0-9.]*\)$/\1/p' CMakeLists.txt)

# The builds, in order, as PRESET NAME ARCH MACHINE: for each architecture
# its static tarball and its .deb (the host's from the debian preset, the
# others cross-compiled), then the two ZIPs. The rows are read first: a
# command in a loop could read its input.
jobs=()
mapfile -t rows < <(grep '^[^#]' packaging/architectures)
for row in "${rows[@]}"; do
    read -r arch preset machine <<<"$row"
    debian=debian
    [ "$arch" = "$host" ] || debian=debian-$arch
    jobs+=("$preset binsearch-$version-linux-*.tar.gz $arch $machine"
        "$debian binsearch_${version}_$arch.deb $arch $machine")
done
jobs+=("windows-x86 binsearch-$version-win32.zip - PE32 executable (console) Intel 80386"
    "windows-x64 binsearch-$version-win64.zip - PE32+ executable (console) x86-64")

# Each build is configured first. Its cache holds what its tests found: the
# emulator that runs its program here, and why the program cannot run here,
# if it cannot; the release runs it just as they do, and says now what it
# will not run.
for job in "${jobs[@]}"; do
    read -r preset _ <<<"$job"
    cmake --preset "$preset" >/dev/null
    grep -q '^BINSEARCH_CANNOT_RUN:' "build/$preset/CMakeCache.txt" ||
        fail "build/$preset does not say whether its program runs here"
    why=$(cached "$preset" BINSEARCH_CANNOT_RUN)
    if [ "$checked" = yes ] && [ -n "$why" ]; then
        echo "release.sh: the program of $preset is not run here: $why"
    fi
done

for job in "${jobs[@]}"; do
    read -r preset name arch machine <<<"$job"
    build "$preset"
    deliver "$preset" "$name" "$arch" "$machine"
done

(cd "$out" && sha256sum -- *.deb *.tar.gz *.zip >SHA256SUMS)
# Every check has passed: the new release replaces the last one.
[ ! -e build/release ] || mv build/release "$work/previous"
mv "$out" build/release
ls -l build/release

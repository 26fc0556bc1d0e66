#!/usr/bin/env bash
# Builds, tests and packs every release artifact into build/release/: for
# each Linux architecture in packaging/architectures a .deb (dynamically
# linked, Debian's build flags) and a static tarball, the 32- and 64-bit
# Windows ZIPs, and SHA256SUMS over them all. Nothing is packed before its
# build's tests pass and its package is checked, and build/release/ appears
# only once every artifact is made. Run it on Debian (amd64).
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

[ "$(dpkg --print-architecture 2>/dev/null)" = amd64 ] || fail "needs Debian on amd64"
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

# answers PROGRAM [LAUNCHER...]: run here, the program answers 7 with the
# whole dialogue, nothing on standard error and status 0. A Windows
# program's lines end in CR LF, and the command interpreter's pause text
# follows the report (its words after "Press any key" differ with wine's
# language).
answers() {
    local program=$1 want=$'ARRAY: 1;2;3;4;5;6;7;8;9;10; \nNumber to find: number found.\n' got
    shift
    if [[ "$program" == *.exe && ! -d "$WINEPREFIX" ]]; then
        wine64 wineboot -i >/dev/null 2>&1 && wineserver -w # a new prefix says so on standard error
    fi
    printf 7 | "$@" "$program" >"$work/out" 2>"$work/err" || fail "$program failed"
    if [[ "$program" == *.exe ]]; then
        want="${want//$'\n'/$'\r\n'}Press any key"
        got=$(head -c "${#want}" "$work/out")
    else
        got=$(cat "$work/out" && echo .) && got=${got%.}
    fi
    [ "$got" = "$want" ] || fail "$program answered: $(cat -A "$work/out")"
    [ ! -s "$work/err" ] || fail "$program wrote to standard error: $(cat "$work/err")"
}

# deliver PRESET NAME MACHINE [LAUNCHER...]: packs the preset's build with
# CPack, wants the package to be called NAME (a pattern), a .deb to be of
# the loop's $arch and lintian-clean, and its program to be for MACHINE and
# to answer 7 under LAUNCHER (none: natively; "-": it cannot run here), and
# puts it in the release beside, never over, the others.
deliver() {
    local dir=$work/cpack/$1 name=$2 machine=$3 package program kind
    cpack --config "build/$1/CPackConfig.cmake" -B "$dir" >/dev/null
    shift 3
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
        [ "${1-}" = - ] || answers "$program" "$@"
    fi
    mv "$package" "$out/"
}

rm -rf build/release
mkdir -p build
work=$(mktemp -d "$PWD/build/release.XXXXXX")
out=$work/release
mkdir "$out"
# The Windows programs run in a 64-bit wine prefix of the release's own:
# the 64-bit one under wine64 (Debian keeps it off PATH), the 32-bit one
# under wine's 32-bit loader.
export WINEPREFIX=$work/wine WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
export PATH=$PATH:/usr/lib/wine
cleanup() {
    [ ! -d "$WINEPREFIX" ] || wineserver -k 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# The archives' time stamps are the last commit's: two clones pack the same bytes.
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
export SOURCE_DATE_EPOCH CMAKE_BUILD_PARALLEL_LEVEL=2
version=$(sed -n 's/^ *VERSION \([0-9.]*\)$/\1/p' CMakeLists.txt)

# The rows are read first: a command in the loop could read its input.
mapfile -t rows < <(grep -v '^#' packaging/architectures)
for row in "${rows[@]}"; do
    read -r arch preset machine <<<"$row"
    emulator=()
    if [ -f "cmake/$preset.cmake" ]; then
        emulator=("$(sed -n 's/^set(emulator \(.*\))$/\1/p' "cmake/$preset.cmake")")
    fi
    build "$preset"
    deliver "$preset" "binsearch-$version-linux-*.tar.gz" "$machine" "${emulator[@]}"
    # The host's own .deb is the debian preset's build; the others are cross-compiled.
    debian=debian
    [ ${#emulator[@]} = 0 ] || debian=debian-$arch
    build "$debian"
    deliver "$debian" "binsearch_${version}_$arch.deb" "$machine" "${emulator[@]}"
done

# Wine runs a 32-bit program only where the machine does.
win32=(-)
if packaging/packages.sh runs-win32; then
    win32=(wine)
fi
build windows-x86
deliver windows-x86 "binsearch-$version-win32.zip" "PE32 executable (console) Intel 80386" "${win32[@]}"
build windows-x64
deliver windows-x64 "binsearch-$version-win64.zip" "PE32+ executable (console) x86-64" wine64

(cd "$out" && sha256sum -- *.deb *.tar.gz *.zip >SHA256SUMS)
rm -rf build/release
mv "$out" build/release
ls -l build/release

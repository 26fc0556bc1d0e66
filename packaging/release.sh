#!/usr/bin/env bash
# Builds, tests and packs every release artifact into build/release/: for
# each Linux architecture a .deb (dynamically linked, Debian's build flags)
# and a static tarball, the Windows ZIP, and SHA256SUMS over them all.
# Nothing is packed before its build's tests pass, and build/release/ appears
# only once every artifact is made and checked. Run it on Debian (amd64).
set -euo pipefail
cd "$(dirname "$0")/.."
export LC_ALL=C

# One row per Linux architecture: Debian's name for it, the preset of the
# static program, the machine as `file` names it, and what runs it here.
# The tarball is named after the toolchain's processor, the .deb after
# Debian's architecture.
arches="amd64|ci-gcc|x86-64|
arm64|linux-arm64|ARM aarch64|qemu-aarch64
armhf|linux-armhf|ARM, EABI5|qemu-arm
i386|linux-i386|Intel 80386|qemu-i386
s390x|linux-s390x|IBM S/390|qemu-s390x"
foreign="arm64 armhf i386 s390x"

fail() { echo "release.sh: $*" >&2; exit 1; }

# Stops at once, naming in one line what to install: the tools, each
# architecture's compiler and its C and C++ runtimes (for dpkg-shlibdeps and
# to run the dynamic programs), and every tool the tests need, so that none
# is skipped.
require() {
    [ "$(dpkg --print-architecture 2>/dev/null)" = amd64 ] || fail "needs Debian on amd64"
    local add="" packages="git cmake make g++ gzip file dpkg-dev lintian python3 valgrind gdb"
    packages+=" qemu-user g++-mingw-w64-i686 wine wine32:i386 wine64 xvfb xdotool"
    for arch in $foreign; do
        dpkg --print-foreign-architectures | grep -qx "$arch" || add+="$arch "
        packages+=" libc6:$arch libstdc++6:$arch"
    done
    for triplet in aarch64-linux-gnu arm-linux-gnueabihf i686-linux-gnu s390x-linux-gnu; do
        packages+=" g++-$triplet"
    done
    local missing=""
    for package in $packages; do
        dpkg-query -W -f '${Status}\n' "$package" 2>/dev/null | grep -q ' installed$' ||
            missing+=" $package"
    done
    local steps=""
    for arch in $add; do steps+="dpkg --add-architecture $arch && "; done
    [ -n "$steps" ] && steps+="apt-get update && "
    [ -z "$missing" ] || fail "missing packages; as root: ${steps}apt-get install -y$missing"
}

# check PROGRAM MACHINE [EMULATOR]: the program is built for MACHINE and,
# run here, answers 7 with the whole dialogue, nothing on standard error and
# status 0.
check() {
    local kind
    kind=$(file -b "$1")
    [[ "$kind" == *", $2"* ]] || fail "$1 is not for $2: $kind"
    printf 7 | ${3:+"$3"} "$1" >"$work/out" 2>"$work/err" || fail "$1 failed"
    printf 'ARRAY: 1;2;3;4;5;6;7;8;9;10; \nNumber to find: number found.\n' | cmp -s - "$work/out" ||
        fail "$1 answered: $(cat "$work/out")"
    [ ! -s "$work/err" ] || fail "$1 wrote to standard error: $(cat "$work/err")"
}

# deliver BUILD NAME MACHINE [EMULATOR]: packs the build with CPack, wants
# the package to be called NAME (a pattern), a .deb to be of the loop's
# $arch and lintian-clean, and its program to pass check, and puts it in the
# release beside, never over, the others.
deliver() {
    local dir=$work/cpack/${1##*/} package program
    cpack --config "$1/CPackConfig.cmake" -B "$dir" >/dev/null
    package=$(find "$dir" -maxdepth 1 \( -name '*.deb' -o -name '*.tar.gz' -o -name '*.zip' \))
    # shellcheck disable=SC2053 # NAME is a pattern
    [[ "${package##*/}" == $2 ]] || fail "$1 made '${package##*/}', not $2"
    [ ! -e "$out/${package##*/}" ] || fail "two packages are called ${package##*/}"
    rm -rf "$work/unpacked" && mkdir "$work/unpacked"
    case $package in
        *.deb) dpkg-deb -x "$package" "$work/unpacked"
               [ "$(dpkg-deb -f "$package" Architecture)" = "$arch" ] || fail "$package: wrong Architecture"
               lintian --fail-on error,warning "$package" ;;
        *) cmake -E chdir "$work/unpacked" cmake -E tar xf "$package" ;;
    esac
    program=$(find "$work/unpacked" -path '*/bin/binsearch' -o -name binsearch.exe)
    if [[ "$program" == *.exe ]]; then
        [[ "$(file -b "$program")" == "$3"* ]] || fail "$program is not $3"
    else
        check "$program" "$3" "${4:-}"
    fi
    mv "$package" "$out/"
}

require
rm -rf build/release
mkdir -p build
work=$(mktemp -d "$PWD/build/release.XXXXXX")
trap 'rm -rf "$work"' EXIT
out=$work/release
mkdir "$out"

# The archives' time stamps are the last commit's: two clones pack the same bytes.
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
export SOURCE_DATE_EPOCH CMAKE_BUILD_PARALLEL_LEVEL=2

# The rows are read first: a command in the loop could read its input.
mapfile -t rows <<<"$arches"
for row in "${rows[@]}"; do
    IFS='|' read -r arch preset machine emulator <<<"$row"
    cmake --workflow --preset "$preset"
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "build/$preset/CMakeCache.txt")
    deliver "build/$preset" "binsearch-$version-linux-*.tar.gz" "$machine" "$emulator"

    # The host's own is the debian preset's build; the others are cross-compiled.
    debian=(build/debian)
    [ "$preset" = ci-gcc ] || debian=("build/debian-$arch" --toolchain "cmake/$preset.cmake")
    cmake --preset debian -B "${debian[@]}"
    cmake --build "${debian[0]}"
    # As the test preset, which would run its own folder's tests.
    ctest --test-dir "${debian[0]}" --output-on-failure --no-tests=error --timeout 300 -j2
    deliver "${debian[0]}" "binsearch_${version}_$arch.deb" "$machine" "$emulator"
done

cmake --workflow --preset windows-x86
deliver build/windows-x86 "binsearch-$version-win32.zip" "PE32 executable (console) Intel 80386"

(cd "$out" && sha256sum -- *.deb *.tar.gz *.zip >SHA256SUMS)
rm -rf build/release
mv "$out" build/release
ls -l build/release

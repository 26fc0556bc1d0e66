#!/usr/bin/env bash
# The Debian packages that the release and CI need, in one place.
#
# usage: packages.sh list|missing|install [release|ci]
#   list     the packages, one a line
#   missing  those not installed yet, one a line, but wine32
#   install  (as root) adds the foreign architectures, brings the package
#            lists up to date and installs what is missing; fails naming
#            each package that cannot be installed, but wine32
# `release` is what packaging/release.sh needs, `ci` (the default) that and
# what CI's other checks need. The architectures are packaging/architectures'.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

usage() {
    echo "usage: packages.sh list|missing|install [release|ci]" >&2
    exit 2
}
[ $# -ge 1 ] && [ $# -le 2 ] || usage
action=$1 set=${2:-ci}
case $action in list | missing | install) ;; *) usage ;; esac
case $set in release | ci) ;; *) usage ;; esac

installed() {
    [ "$(dpkg-query -W -f '${Status}' "$1" 2>/dev/null)" = "install ok installed" ]
}

# The release: the tools, each foreign architecture's cross compiler and its
# C and C++ runtimes (dpkg-shlibdeps reads them; the dynamic programs run on
# them under qemu-user), MinGW-w64 and wine for the Windows programs, and
# every tool the tests need, so that none is skipped.
packages="git cmake make g++ gzip file binutils dpkg-dev lintian python3 valgrind gdb qemu-user"
packages+=" g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 xvfb xdotool"
foreign=()
while read -r arch preset _; do
    case $arch in '#'* | '') continue ;; esac
    [ "$arch" = "$(dpkg --print-architecture)" ] && continue
    foreign+=("$arch")
    triplet=$(sed -n 's/^set(triplet \(.*\))$/\1/p' "$here/../cmake/$preset.cmake")
    packages+=" g++-$triplet libc6:$arch libstdc++6:$arch"
done <"$here/architectures"
# Wine runs 32-bit programs only with wine32, and only where the machine
# runs 32-bit x86 programs at all. It is left out where it cannot be
# installed (its i386 libraries lag behind while a mirror syncs): then the
# 32-bit Windows program is not run here: its build's configure finds that,
# and its tests and the release say so.
wine32=""
if sh "$here/../cmake/runs-x86-32.sh" "$here"; then
    wine32=wine32:i386
fi
# CI's other checks: Clang and its tools, the manual page's check, GNU time
# for the benchmark.
if [ "$set" = ci ]; then
    packages+=" clang clang-tidy clang-format cppcheck man-db time"
fi

missing() {
    local package
    for package in $packages; do
        installed "$package" || echo "$package"
    done
}

# A mirror that is being synced fails `apt-get update` for up to an hour
# ("File has unexpected size ... Mirror sync in progress?"), mostly for one
# architecture's index. A few tries, then the lists apt has: what matters is
# whether the packages install.
update() {
    local try
    for try in 1 2 3 4 5; do
        apt-get update && return
        echo "packages.sh: apt-get update failed (try $try of 5)" >&2
        [ "$try" = 5 ] || sleep 30
    done
    echo "packages.sh: going on with the package lists apt has" >&2
}

# Only what is named: a package's Recommends can pull in a whole foreign
# architecture (wine64 recommends wine32, which apt will take as wine32:armhf,
# whose ARM loader then stands where the host's wine looks for its own).
apt_install() {
    apt-get install -y --no-install-recommends -o Acquire::Retries=3 "$@"
}

install() {
    export DEBIAN_FRONTEND=noninteractive
    local arch added
    added=" $(dpkg --print-foreign-architectures | tr '\n' ' ') "
    for arch in "${foreign[@]}"; do
        [[ "$added" == *" $arch "* ]] || dpkg --add-architecture "$arch"
    done
    local wanted
    wanted=$(missing)
    if [ -n "$wanted" ] || { [ -n "$wine32" ] && ! installed "$wine32"; }; then
        update
    fi
    # shellcheck disable=SC2086 # one word a package
    [ -z "$wanted" ] || apt_install $wanted || {
        local package failed=""
        for package in $(missing); do
            apt_install "$package" || failed+=" $package"
        done
        [ -z "$failed" ] || { echo "packages.sh: cannot install:$failed" >&2; exit 1; }
    }
    if [ -n "$wine32" ] && ! installed "$wine32"; then
        apt_install "$wine32" ||
            echo "packages.sh: cannot install $wine32: the 32-bit Windows program is not run here" >&2
    fi
}

case $action in
list) tr ' ' '\n' <<<"$packages${wine32:+ $wine32}" ;;
missing) missing ;;
install) install ;;
esac

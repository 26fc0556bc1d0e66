#!/usr/bin/env bash
# The Debian packages that the release and CI need, in one place.
#
# usage: packages.sh list|missing|install|runs-x86-32 [release|ci]
#   list         the packages, one a line
#   missing      those not installed yet, one a line
#   install      (as root) adds the foreign architectures, brings the package
#                lists up to date and installs what is missing; fails
#                naming each package that cannot be installed
#   runs-x86-32  status 0 if this machine runs 32-bit x86 programs
# `release` is what packaging/release.sh needs, `ci` (the default) that and
# what CI's other checks need. The architectures are packaging/architectures'.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

usage() {
    echo "usage: packages.sh list|missing|install|runs-x86-32 [release|ci]" >&2
    exit 2
}
[ $# -ge 1 ] && [ $# -le 2 ] || usage
action=$1 set=${2:-ci}
case $action in list | missing | install | runs-x86-32) ;; *) usage ;; esac
case $set in release | ci) ;; *) usage ;; esac

# Whether this machine runs 32-bit x86 programs: some x86_64 kernels are
# built or booted without it, and then no 32-bit Windows program runs under
# wine either. Asked of the kernel itself, with the smallest such program
# (it only exits 0), before any of the packages is there.
runs_x86_32() {
    [ "$(uname -m)" = x86_64 ] || [[ "$(uname -m)" == i?86 ]] || return 1
    local probe status=0
    probe=$(mktemp "$here/../.x86-32.XXXXXX")
    printf '\177ELF\1\1\1\0\0\0\0\0\0\0\0\0\2\0\3\0\1\0\0\0\124\200\4\10\64\0\0\0\0\0\0\0\0\0\0\0\64\0\40\0\1\0\0\0\0\0\0\0\1\0\0\0\0\0\0\0\0\200\4\10\0\200\4\10\135\0\0\0\135\0\0\0\5\0\0\0\0\20\0\0\270\1\0\0\0\61\333\315\200' >"$probe"
    chmod +x "$probe"
    "$probe" 2>/dev/null || status=1
    rm -f "$probe"
    return "$status"
}

# The release: the tools, each foreign architecture's cross compiler and its
# C and C++ runtimes (dpkg-shlibdeps reads them; the dynamic programs run on
# them under qemu-user), MinGW-w64 and wine for the Windows programs, and
# every tool the tests need, so that none is skipped. Wine runs 32-bit
# programs only with wine32, and only where the machine runs them at all.
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
if runs_x86_32; then
    packages+=" wine32:i386"
fi
# CI's other checks: Clang and its tools, the manual page's check, GNU time
# for the benchmark.
if [ "$set" = ci ]; then
    packages+=" clang clang-tidy clang-format cppcheck man-db time"
fi

missing() {
    local package
    for package in $packages; do
        [ "$(dpkg-query -W -f '${Status}' "$package" 2>/dev/null)" = "install ok installed" ] ||
            echo "$package"
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

install() {
    export DEBIAN_FRONTEND=noninteractive
    local arch added
    added=" $(dpkg --print-foreign-architectures | tr '\n' ' ') "
    for arch in "${foreign[@]}"; do
        [[ "$added" == *" $arch "* ]] || dpkg --add-architecture "$arch"
    done
    local wanted
    wanted=$(missing)
    [ -n "$wanted" ] || return 0
    update
    # shellcheck disable=SC2086 # one word a package
    apt-get install -y -o Acquire::Retries=3 $wanted && return
    local package failed=""
    for package in $(missing); do
        apt-get install -y -o Acquire::Retries=3 "$package" || failed+=" $package"
    done
    [ -z "$failed" ] || { echo "packages.sh: cannot install:$failed" >&2; exit 1; }
}

case $action in
list) tr ' ' '\n' <<<"$packages" ;;
missing) missing ;;
install) install ;;
runs-x86-32) runs_x86_32 ;;
esac

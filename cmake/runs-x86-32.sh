#!/bin/sh
# usage: runs-x86-32.sh [DIR]
# Exits 0 if this machine runs 32-bit x86 programs. An x86_64 kernel can be
# built or booted without them (some virtual machines are), and then no
# 32-bit program runs, wine's 32-bit loader included. Asked of the kernel
# with the smallest such program, written in DIR (default: TMPDIR): an ELF
# header, one segment, and exit(0) (mov eax, 1; xor ebx, ebx; int 0x80).
set -e
probe=$(mktemp "${1:-${TMPDIR:-/tmp}}/x86-32.XXXXXX")
trap 'rm -f "$probe"' EXIT
printf '\177ELF\1\1\1\0\0\0\0\0\0\0\0\0\2\0\3\0\1\0\0\0\124\200\4\10\64\0\0\0\0\0\0\0\0\0\0\0\64\0\40\0\1\0\0\0\0\0\0\0\1\0\0\0\0\0\0\0\0\200\4\10\0\200\4\10\135\0\0\0\135\0\0\0\5\0\0\0\0\20\0\0\270\1\0\0\0\61\333\315\200' >"$probe"
chmod +x "$probe"
"$probe" 2>/dev/null

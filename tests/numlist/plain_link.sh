#!/bin/sh
# plain_link.sh OBJECT LIBVORN VORNEMU INCLUDE SOURCE CC [CFLAGS...]
# numlist.o needs no C++ runtime, defines only its two entry points, and
# links into a plain C program with the C compiler that then works.
set -eu
obj=$1 lib=$2 vornemu=$3 inc=$4 src=$5
shift 5
work=$(mktemp -d /tmp/vorn-plain-XXXXXX)
trap 'rm -rf "$work"' EXIT
# An i386 program (ELF class 1) goes through the emulator that
# VORN_I386_EMULATOR names, where the tests run i386 programs that way.
run() {
    if [ -n "${VORN_I386_EMULATOR-}" ] && [ "$(od -An -tx1 -j4 -N1 "$1" | tr -d ' ')" = 01 ]; then
        "$VORN_I386_EMULATOR" "$@"
    else
        "$@"
    fi
}

cxx=$(nm -u "$obj" | awk '{print $2}' | grep -E '^(_Z|__cxa_|__gxx_|_Unwind_)' || true)
if [ -n "$cxx" ]; then
    echo "numlist.o needs the C++ runtime:" $cxx
    exit 1
fi
# (the i386 compiler's hidden PC thunks aside)
defined=$(nm -g --defined-only "$obj" | awk '{print $3}' | grep -v '^__x86\.get_pc_thunk\.' |
    sort | tr '\n' ' ')
if [ "$defined" != "numlist_reset str2numlist " ]; then
    echo "numlist.o defines: $defined"
    exit 1
fi

"$@" -I"$inc" -o "$work/prog" "$src" "$obj" "$lib" -Wl,-rpath,"$(dirname "$lib")"
export VORN_CLUSTER="$work/cluster"
run "$vornemu" init --nodes 4 --boot-delay 0 >/dev/null
out=$(run "$work/prog" master,all 7 2-)
if [ "$out" != "-1 0 1 2 3 7 2 3" ]; then
    echo "plain C program printed: $out"
    exit 1
fi

#!/bin/sh
# c_link.sh CC "CFLAGS" INCLUDE LIBDIR SOURCE WORKDIR - compiles a plain C
# program with the C compiler alone against vnsh_io.o and libvorn.so.2, and
# runs it once (a move to the node it is on: no forwarding).
set -e
cc=$1 cflags=$2 include=$3 lib=$4 src=$5 work=$6
mkdir -p "$work"
# An i386 program (ELF class 1) goes through the emulator that
# VORN_I386_EMULATOR names, where the tests run i386 programs that way.
run() {
    if [ -n "${VORN_I386_EMULATOR-}" ] && [ "$(od -An -tx1 -j4 -N1 "$1" | tr -d ' ')" = 01 ]; then
        "$VORN_I386_EMULATOR" "$@"
    else
        "$@"
    fi
}
$cc $cflags -I"$include" -o "$work/vnsh_c_link" "$src" "$lib/vnsh_io.o" "$lib/libvorn.so.2" \
    -Wl,-rpath,"$lib"
export VORN_CLUSTER="$work/cluster"
run "$work/vnsh_c_link" move -1 0 </dev/null >"$work/out"
expected="moved on node -1, children none"
if [ "$(cat "$work/out")" != "$expected" ]; then
    echo "output: $(cat "$work/out")"
    exit 1
fi
rm -rf "$work/cluster"
echo "linked with $cc alone: ok"

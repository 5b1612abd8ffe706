#!/bin/sh
# c_link.sh CC "CFLAGS" INCLUDE LIBDIR SOURCE WORKDIR - compiles a plain C
# program with the C compiler alone against vnsh_io.o and libvorn.so.2, and
# runs it once (a move to the node it is on: no forwarding).
set -e
cc=$1 cflags=$2 include=$3 lib=$4 src=$5 work=$6
mkdir -p "$work"
$cc $cflags -I"$include" -o "$work/vnsh_c_link" "$src" "$lib/vnsh_io.o" "$lib/libvorn.so.2" \
    -Wl,-rpath,"$lib"
VORN_CLUSTER="$work/cluster" "$work/vnsh_c_link" move -1 0 </dev/null >"$work/out"
expected="moved on node -1, children none"
if [ "$(cat "$work/out")" != "$expected" ]; then
    echo "output: $(cat "$work/out")"
    exit 1
fi
rm -rf "$work/cluster"
echo "linked with $cc alone: ok"

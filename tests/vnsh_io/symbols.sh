#!/bin/sh
# symbols.sh READELF OBJECT - the forwarding object defines exactly the four
# entry points as visible globals (the i386 compiler's hidden pc thunks never
# leave a link) and refers to nothing of libstdc++ or the C++ runtime.
readelf=$1 obj=$2
syms=$("$readelf" -sW "$obj")
defined=$(echo "$syms" | awk '($5 == "GLOBAL" || $5 == "WEAK") && $6 != "HIDDEN" && $7 != "UND" {print $8}' |
          sort | tr '\n' ' ')
expected="_vnsh_move _vnsh_rfork vnsh_execmove vnsh_rexec "
if [ "$defined" != "$expected" ]; then
    echo "global symbols: $defined"
    echo "expected:       $expected"
    exit 1
fi
cxx=$(echo "$syms" | awk '$7 == "UND" {print $8}' | grep -E '^_Z|__cxa_|__gxx_|_Unwind_' || true)
if [ -n "$cxx" ]; then
    echo "C++ runtime symbols: $cxx"
    exit 1
fi
echo "vnsh_io.o: $expected"

#!/bin/sh
# symbols.sh NM OBJECT - the forwarding object defines exactly the four entry
# points as globals and refers to nothing of libstdc++ or the C++ runtime.
nm=$1 obj=$2
defined=$("$nm" -g --defined-only "$obj" | awk '{print $3}' | sort | tr '\n' ' ')
expected="_vnsh_move _vnsh_rfork vnsh_execmove vnsh_rexec "
if [ "$defined" != "$expected" ]; then
    echo "global symbols: $defined"
    echo "expected:       $expected"
    exit 1
fi
cxx=$("$nm" -u "$obj" | awk '{print $2}' | grep -E '^_Z|__cxa_|__gxx_|_Unwind_' || true)
if [ -n "$cxx" ]; then
    echo "C++ runtime symbols: $cxx"
    exit 1
fi
echo "vnsh_io.o: $expected"

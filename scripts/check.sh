#!/bin/sh
# make check: installs what is missing (the build's and the tests'
# packages), builds both architectures with their tests, runs every test of
# both trees, then the C++ tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer (clang, which also builds the fuzz target).
# The tests of a tree run while the next tree builds (they mostly wait on
# processes, sockets and files, the builds on the processors); each run's
# output is kept in build/<tree>-tests.log and shown once all have ended.
set -e
cd "$(dirname "$0")/.."
jobs=$(nproc)
scripts/deps.sh build
scripts/deps.sh test
start=$(date +%s)

# run_tests NAME TREE [CTEST ARGS...] runs a tree's tests in the background.
pids=
run_tests() {
    name=$1 tree=$2
    shift 2
    (
        t0=$(date +%s)
        rc=0
        echo "== tests: $name" >"build/$tree-tests.log"
        ctest --test-dir "build/$tree" --output-on-failure -j "$jobs" "$@" \
            >>"build/$tree-tests.log" 2>&1 || rc=$?
        echo "== tests: $name: $(($(date +%s) - t0)) s, status $rc" >>"build/$tree-tests.log"
        exit $rc
    ) &
    pids="$pids $!"
}

# built TREE: notes when a tree's build ended, shown at the end.
built() {
    echo "== built $1 after $(($(date +%s) - start)) s" >>build/check-times.log
}

# stop: a build failed; waits for the tests under way, then fails.
stop() {
    wait
    exit 1
}

VORN_TESTS=ON scripts/build.sh x86_64
rm -f build/check-times.log
built x86_64
run_tests x86-64 x86_64
VORN_TESTS=ON scripts/build.sh i386 || stop
built i386
run_tests "i386 ($(sed -n 's/^VORN_I386_ROUTE_SHOWN:INTERNAL=//p' build/i386/CMakeCache.txt))" i386

CC=clang CXX=clang++ cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug \
      -DVORN_SANITIZE=ON >/dev/null || stop
cmake --build build/asan -j "$jobs" || stop
built asan
export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1
run_tests "x86-64 under ASan and UBSan" asan -L 'cpp|fuzz'

failed=0
for pid in $pids; do
    wait "$pid" || failed=1
done
for tree in x86_64 i386 asan; do
    cat "build/$tree-tests.log"
done
cat build/check-times.log
echo "== make check: $(($(date +%s) - start)) s"
exit $failed

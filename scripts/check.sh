#!/bin/sh
# make check: installs what is missing (the build's and the tests'
# packages), builds both architectures with their tests, runs every test of
# both trees, then the C++ tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer (clang, which also builds the fuzz target).
set -e
cd "$(dirname "$0")/.."
jobs=$(nproc)
scripts/deps.sh build
scripts/deps.sh test
VORN_TESTS=ON scripts/build.sh

echo "== tests: x86-64"
ctest --test-dir build/x86_64 --output-on-failure -j "$jobs"
echo "== tests: i386"
ctest --test-dir build/i386 --output-on-failure -j "$jobs"

echo "== tests: x86-64 under ASan and UBSan"
CC=clang CXX=clang++ cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug \
      -DVORN_SANITIZE=ON >/dev/null
cmake --build build/asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build/asan --output-on-failure -j "$jobs" -L 'cpp|fuzz'

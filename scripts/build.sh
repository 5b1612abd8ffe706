#!/bin/sh
# Configures and builds the architecture trees: build/x86_64 and build/i386
# (both need Debian's gcc-multilib and g++-multilib for -m32 code, which
# scripts/deps.sh installs).  "build.sh x86_64" builds the first tree only,
# "build.sh i386" the second only.
# The trees include the tests, which need GoogleTest ("deps.sh test"), unless
# VORN_TESTS=OFF is in the environment: make, make install and make demo
# build that way and need only the build's packages ("deps.sh build").
set -e
cd "$(dirname "$0")/.."
jobs=$(nproc)
tests=${VORN_TESTS:-ON}
scripts/deps.sh build
[ "$tests" = OFF ] || scripts/deps.sh test
python2_root=$(pyenv prefix 2.7.18 2>/dev/null || true)
# The tests run i386 programs natively where the kernel can, else under
# qemu-i386; VORN_I386_EMULATOR=qemu-i386 in the environment takes the
# emulator even where the kernel could (read on every configure).
emulator=
[ "$tests" = OFF ] || emulator="-DVORN_I386_EMULATOR=${VORN_I386_EMULATOR-}"
if [ "$1" != i386 ]; then
    cmake -S . -B build/x86_64 -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_TESTS="$tests" \
          ${python2_root:+-DPython2_ROOT_DIR="$python2_root"} $emulator >/dev/null
    cmake --build build/x86_64 -j "$jobs"
fi
[ "$1" = x86_64 ] && exit 0
cmake -S . -B build/i386 -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_TESTS="$tests" \
      -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/i386.cmake" $emulator >/dev/null
cmake --build build/i386 -j "$jobs"

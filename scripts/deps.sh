#!/bin/sh
# Installs what a fresh machine lacks for the build: Debian's gcc-multilib
# and g++-multilib (-m32 code), GoogleTest (its x86-64 build and its
# sources), clang with its sanitizer and fuzzer runtime.  Needs root;
# otherwise it prints the command to run and fails.
set -e
missing=
for p in gcc-multilib g++-multilib libgtest-dev googletest clang libclang-rt-14-dev; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
        missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages:$missing; run as root:" >&2
    echo "  apt-get update && apt-get install -y$missing" >&2
    exit 1
fi
echo "installing$missing"
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null

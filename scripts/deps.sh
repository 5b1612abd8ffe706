#!/bin/sh
# Installs the Debian packages that a fresh machine lacks, by group:
#   deps.sh build   what building and installing need: CMake and make,
#                   gcc-multilib and g++-multilib (-m32 code), the Python 3
#                   headers;
#   deps.sh test    what the tests need on top: GoogleTest (its x86-64
#                   build and its sources, for the i386 tree), clang with
#                   its sanitizer and fuzzer runtime, strace, qemu-user
#                   (qemu-i386, where the kernel cannot run i386 programs),
#                   pkgconf and python3-venv (the module's pip route),
#                   OpenSSH's server and client (the host clusters' tests
#                   start private sshd daemons);
#   deps.sh bench   the peers that make bench compares with: pdsh, socat,
#                   ClusterShell, and OpenSSH's server and client (the ssh
#                   benchmark's private daemons); a benchmark run on its own
#                   leaves out, or installs as root, a peer that is missing;
#   deps.sh         the build and test groups.
# Run as root it installs what is missing; otherwise it prints the command
# to run and fails.
set -e
build="cmake make gcc-multilib g++-multilib python3-dev"
test="libgtest-dev googletest clang libclang-rt-14-dev strace qemu-user pkgconf python3-venv
      openssh-server openssh-client"
bench="pdsh socat clustershell openssh-server openssh-client"
case "${1-all}" in
build) want=$build ;;
test) want=$test ;;
bench) want=$bench ;;
all) want="$build $test" ;;
*)
    echo "usage: $0 [build|test|bench]" >&2
    exit 2
    ;;
esac
missing=
for p in $want; do
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

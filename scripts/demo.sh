#!/bin/bash
# make demo: a fresh emulated cluster in a temporary directory, the tools of
# the x86-64 build tree on PATH, and each step under scripts/demo/ in turn.
set -e
cd "$(dirname "$0")/.."
top=$PWD
work=$(mktemp -d /tmp/vorn-demo-XXXXXX)
trap 'rm -rf "$work"' EXIT
export VORN_CLUSTER="$work/cluster"
export PATH="$top/build/x86_64/bin:$PATH"
export VORN_DEMO_WORK="$work" VORN_BUILD="$top/build/x86_64" VORN_TOP="$top"
export PYTHON2="$(pyenv prefix 2.7.18 2>/dev/null)/bin/python2.7"
# The module is built for Debian's Python 3, not pyenv's python3 on PATH.
export PYTHON3=/usr/bin/python3
export PYTHONPATH="$top/build/x86_64/lib${PYTHONPATH:+:$PYTHONPATH}"

say() { printf '\n# %s\n' "$*"; }
run() { printf '\033[1m$ %s\033[0m\n' "$*"; "$@"; }

vornemu init --nodes 8 --boot-delay 1 >/dev/null
echo "emulated cluster: $VORN_CLUSTER"
for step in scripts/demo/*.sh; do
    [ -e "$step" ] || continue
    printf '\n\033[1;34m== %s\033[0m\n' "$(sed -n 's/^# demo: //p' "$step")"
    . "./$step"
done

#!/bin/bash
# make bench: runs every benchmark under bench/ (each prints its figures).
set -e
cd "$(dirname "$0")/.."
# The peers (pdsh, socat, sshd); a benchmark leaves out a peer that is missing.
scripts/deps.sh bench || echo "bench: peers missing: their figures are left out" >&2
for b in bench/*/run.sh; do
    [ -e "$b" ] || continue
    echo "== $b"
    bash "$b" "$PWD/build/x86_64"
done

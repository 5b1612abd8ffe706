#!/bin/bash
# make bench: runs every benchmark under bench/ (each prints its figures).
set -e
cd "$(dirname "$0")/.."
for b in bench/*/run.sh; do
    [ -e "$b" ] || continue
    echo "== $b"
    bash "$b" "$PWD/build/x86_64"
done

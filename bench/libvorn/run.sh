#!/bin/bash
# run.sh BUILD_DIR - cost of one node-control call on a 1,000,000-node
# emulated cluster against the same call on a 1,000-node cluster (the
# peer, same run): "vornctl -S all -s up" makes one call per node, so its
# time per node should not grow with the size of the cluster.
set -euo pipefail
build=${1:?usage: run.sh BUILD_DIR}
bin=$build/bin
if [ ! -x "$bin/vornctl" ]; then
    echo "no $bin/vornctl: build the tree first" >&2
    exit 1
fi
work=$(mktemp -d /tmp/vorn-bench-libvorn-XXXXXX)
trap 'rm -rf "$work"' EXIT

# measure NODES ROUNDS: prints "nodes calls seconds us-per-call"
measure() {
    export VORN_CLUSTER=$work/c$1
    "$bin/vornemu" init --nodes "$1" --boot-delay 0 >/dev/null
    local t0 t1
    t0=$(date +%s.%N)
    for ((r = 0; r < $2; r++)); do
        "$bin/vornctl" -S all -s up
    done
    t1=$(date +%s.%N)
    awk -v n="$1" -v r="$2" -v a="$t0" -v b="$t1" \
        'BEGIN { c = n * r; printf "%-9d %-9d %8.3f %9.2f\n", n, c, b - a, (b - a) * 1e6 / c }'
    "$bin/vornemu" destroy
}

printf '%-9s %-9s %8s %9s\n' nodes calls seconds us/call
small=$(measure 1000 200)
large=$(measure 1000000 1)
echo "$small"
echo "$large"
awk -v s="$small" -v l="$large" 'BEGIN {
    split(s, a, " "); split(l, b, " ");
    printf "per-call ratio, 1,000,000 nodes against 1,000 nodes: %.2f\n", b[4] / a[4] }'

#!/bin/bash
# run.sh BUILD_DIR - nodes appended per second by str2numlist on a
# 1,000,000-node emulated cluster, against a plain loop writing the same
# numbers (the memory limit) and against ClusterShell's "nodeset -e".
set -euo pipefail
build=${1:?usage: run.sh BUILD_DIR}
bin=$build/bin
nodes=1000000
step=4  # every 4th node (0, 4, 8, ...) is set down
last=$((nodes - 1))

if ! command -v nodeset >/dev/null; then
    echo "installing clustershell for nodeset"
    if [ "$(id -u)" -ne 0 ]; then
        echo "run as root, or: apt-get install clustershell" >&2
        exit 1
    fi
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clustershell >/dev/null
fi

work=$(mktemp -d /tmp/vorn-bench-numlist-XXXXXX)
trap 'rm -rf "$work"' EXIT
export VORN_CLUSTER=$work/cluster
"$bin/vornemu" init --nodes "$nodes" --boot-delay 0 >/dev/null

# Expressions and the nodeset arguments naming the same nodes.
exprs=(all "100000-899999" alldown allnotdown)
declare -A peer=(
    [all]="n[0-$last]"
    [100000-899999]="n[100000-899999]"
    [alldown]="n[0-$last/$step]"
    [allnotdown]="n[0-$last] -x n[0-$last/$step]"
)

"$bin/bench_numlist" -d "$step" "${exprs[@]}" >"$work/parser"

ns_time() {
    local t0 t1
    t0=$(date +%s%N)
    # shellcheck disable=SC2086
    nodeset -e $1 >/dev/null
    t1=$(date +%s%N)
    echo "$(((t1 - t0) / 1000))e-6"
}
for e in "${exprs[@]}"; do
    # best of two runs
    a=$(ns_time "${peer[$e]}")
    b=$(ns_time "${peer[$e]}")
    echo "$e $(awk -v a="$a" -v b="$b" 'BEGIN { print (a < b ? a : b) }')"
done >"$work/peer"

echo "str2numlist on a $nodes-node cluster, every ${step}th node down"
awk '$1 == "fetch" { printf "node table fetch (vorn_nodelist): %.3f s\n\n", $2 }' "$work/parser"
printf '%-15s %8s %14s %14s %8s %14s %8s\n' expression nodes "parser/s" "loop/s" "vs loop" "nodeset/s" "vs peer"
awk 'NR == FNR { peer[$1] = $2; next }
     $1 != "fetch" {
        p = $2 / $3; l = $2 / $4; s = $2 / peer[$1]
        printf "%-15s %8d %14.0f %14.0f %8.3f %14.0f %8.2f\n", $1, $2, p, l, p / l, s, p / s
     }' "$work/peer" "$work/parser"
echo
echo "parser/s, loop/s, nodeset/s: nodes per second; vs loop: parser over a plain"
echo "loop writing the same ints (memory limit); vs peer: parser over nodeset -e"
echo "on the same nodes (whole process, names printed to /dev/null)."

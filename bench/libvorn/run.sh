#!/bin/bash
# run.sh BUILD_DIR - the emulated cluster under load:
# 1. one node-control call on a 100,000-node cluster against the same call
#    on a 1,000-node cluster (the peer, same run): "vornctl -S all -s up"
#    makes one call per node (each synced to disk), so its time per node
#    should not grow with the size of the cluster;
# 2. one placement (vnsh -w 0 true) with 0, 1,000 and 5,000 processes
#    placed, against fork+exec of /bin/true;
# 3. vnsh -w all true on 1,000 nodes against pdsh -R exec and the local
#    floor (xargs -P64 /bin/true);
# 4. 8 vnsh -w all -i none true at once on 1,000 nodes: placements failed.
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
small=$(measure 1000 20)
large=$(measure 100000 1)
echo "$small"
echo "$large"
awk -v s="$small" -v l="$large" 'BEGIN {
    split(s, a, " "); split(l, b, " ");
    printf "per-call ratio, 100,000 nodes against 1,000 nodes: %.2f\n", b[4] / a[4] }'

now() { date +%s.%N; }
# per_call COUNT COMMAND...: microseconds per run of the command
per_call() {
    local n=$1 t0 t1
    shift
    t0=$(now)
    for ((r = 0; r < n; r++)); do
        "$@" >/dev/null
    done
    t1=$(now)
    awk -v a="$t0" -v b="$t1" -v n="$n" 'BEGIN { printf "%.0f", (b - a) * 1e6 / n }'
}

# 2. One placement with N processes placed (sleeping children forked onto
# the nodes through the Python module, which keeps the bench free of a
# helper program of its own).
echo
export VORN_CLUSTER=$work/place
"$bin/vornemu" init --nodes 1000 --boot-delay 0 >/dev/null
py=/usr/bin/python3
lib=$build/lib
fork_us=$(per_call 200 /bin/true)
printf '%-34s %9s %s\n' "placed processes" "us/place" "ratio to fork+exec ($fork_us us)"
holders=()
placed=0
for n in 0 1000 5000; do
    if [ "$n" -gt "$placed" ]; then
        PYTHONPATH=$lib "$py" -c '
import os, signal, sys, vorn
for i in range(int(sys.argv[1])):
    if vorn.rfork(i % 1000) == 0:
        signal.pause()
        os._exit(0)
print("placed", flush=True)
signal.pause()' $((n - placed)) >"$work/held.$n" &
        holders+=($!)
        until grep -q placed "$work/held.$n" 2>/dev/null; do sleep 0.2; done
        placed=$n
    fi
    us=$(per_call 100 "$bin/vnsh" -w 0 true)
    printf '%-34s %9s %s\n' "$n" "$us" "$(awk -v a="$us" -v b="$fork_us" 'BEGIN {printf "%.1f", a / b}')"
done
for h in "${holders[@]}"; do
    pkill -KILL -P "$h" || true
    kill "$h" 2>/dev/null || true
done
wait 2>/dev/null || true
"$bin/vornemu" destroy

# 3. and 4. Launch on 1,000 nodes: vnsh against pdsh and the floor, then
# 8 vnsh at once.
if ! command -v pdsh >/dev/null && [ "$(id -u)" = 0 ]; then
    apt-get update -qq >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq pdsh >/dev/null
fi
echo
export VORN_CLUSTER=$work/launch
"$bin/vornemu" init --nodes 1000 --boot-delay 0 >/dev/null
best() { # best of 3 runs, seconds
    local b="" t0 t1 d
    for run in 1 2 3; do
        t0=$(now)
        sh -c "$*" | cat >/dev/null
        t1=$(now)
        d=$(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.3f", b - a}')
        if [ -z "$b" ] || awk -v a="$d" -v b="$b" 'BEGIN {exit !(a < b)}'; then b=$d; fi
    done
    echo "$b"
}
floor=$(best "seq 1000 | xargs -P64 -n1 /bin/true")
vnsh=$(best "$bin/vnsh -w all true")
printf '%-36s %8s s\n' "local floor (xargs -P64 /bin/true)" "$floor" "vnsh -w all true" "$vnsh"
if command -v pdsh >/dev/null; then
    pdsh=$(best "pdsh -R exec -w 'n[0-999]' true")
    printf '%-36s %8s s\n' "pdsh -R exec true" "$pdsh"
    echo "launch: pdsh time / vnsh time (goal >= 2):   $(awk -v a="$pdsh" -v b="$vnsh" 'BEGIN {printf "%.2f", a / b}')"
fi
echo "launch: vnsh time / local floor (goal <= 2): $(awk -v a="$vnsh" -v b="$floor" 'BEGIN {printf "%.2f", a / b}')"
"$bin/vornemu" log >/dev/null
lines0=$("$bin/vornemu" log | wc -l)
pids=()
for i in 1 2 3 4 5 6 7 8; do
    "$bin/vnsh" -w all -i none true >/dev/null 2>"$work/err.$i" &
    pids+=($!)
done
status=0
for p in "${pids[@]}"; do wait "$p" || status=1; done
failed=$("$bin/vornemu" log | tail -n +$((lines0 + 1)) | awk -F '\t' '$6 != "0"' | wc -l)
errs=$(cat "$work"/err.* | wc -l)
echo "8 vnsh -w all -i none true at once on 1,000 nodes: $failed failed placements, $errs error lines, exit status $status"
"$bin/vornemu" destroy

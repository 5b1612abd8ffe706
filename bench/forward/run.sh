#!/bin/bash
# Forwarding throughput: 256 MiB of 80-byte lines from a process placed with
# vnsh_rexec, through the listener to a pipe read by cat, in unbuffered mode
# and in line mode with the node prefix; against a raw loopback TCP copy
# with socat (the limit), pdsh -R exec with its own line labels, and a plain
# program that writes each prefixed line with one write (line mode's bound).
# Usage: bench/forward/run.sh BUILD_DIR (the x86-64 tree)
set -e
build=${1:?usage: run.sh BUILD_DIR}
bin=$build/bin
bytes=${VNSH_BENCH_BYTES:-268435456}
mib=$((bytes / 1048576))

missing=
command -v socat >/dev/null || missing="$missing socat"
command -v pdsh >/dev/null || missing="$missing pdsh"
if [ -n "$missing" ]; then
    apt-get update -qq >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
fi

work=$(mktemp -d /tmp/vorn-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
export VORN_CLUSTER=$work/cluster
"$bin/vornemu" init --nodes 4 --boot-delay 0 >/dev/null

runs=${VNSH_BENCH_RUNS:-3}
now() { date +%s.%N; }
# best NAME SECONDS: keeps the best MiB/s of NAME in rate_NAME
best() {
    local r v="rate_$1"
    r=$(awk -v m="$mib" -v s="$2" 'BEGIN {printf "%.1f", m / s}')
    if [ -z "${!v}" ] || awk -v a="$r" -v b="${!v}" 'BEGIN {exit !(a > b)}'; then
        printf -v "$v" '%s' "$r"
    fi
}
# measure NAME COMMAND: the command through sh with its output read by cat
measure() {
    local name=$1 t0 t1
    shift
    t0=$(now)
    sh -c "$*" | cat >/dev/null
    t1=$(now)
    best "$name" "$(awk -v a="$t0" -v b="$t1" 'BEGIN {print b - a}')"
}
# socat_copy: a raw loopback TCP copy: the generator writes straight into
# the connection (bash's /dev/tcp), socat copies it out into cat, the same
# hops as the listener's
socat_copy() {
    local port=$((20000 + RANDOM % 20000)) reader t0 t1
    socat -u TCP-LISTEN:$port,bind=127.0.0.1,reuseaddr STDOUT | cat >/dev/null &
    reader=$!
    for i in $(seq 100); do # until socat listens
        ss -Hltn "sport = :$port" 2>/dev/null | grep -q . && break
        sleep 0.05
    done
    t0=$(now)
    $gen >/dev/tcp/127.0.0.1/$port
    wait $reader
    t1=$(now)
    best socat_tcp "$(awk -v a="$t0" -v b="$t1" 'BEGIN {print b - a}')"
}

gen="$bin/bench-linegen $bytes"
echo "forwarding $mib MiB of 80-byte lines into a pipe read by cat >/dev/null (best of $runs)"
for run in $(seq "$runs"); do
    socat_copy
    measure pdsh_exec "pdsh -R exec -w n0 $gen"
    measure vnsh_unbuffered "$bin/bench-forward-rexec 1 0 $gen"
    measure vnsh_line_prefix "$bin/bench-forward-rexec 1 0x18 $gen"
    measure write_per_line "$gen | $bin/bench-linewrite 1"
done
for name in socat_tcp pdsh_exec vnsh_unbuffered vnsh_line_prefix write_per_line; do
    v="rate_$name"
    printf '%-32s %8s MiB/s\n' "$name" "${!v}"
done

ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
echo
echo "vnsh unbuffered / socat TCP copy:       $(ratio "$rate_vnsh_unbuffered" "$rate_socat_tcp")"
echo "vnsh line+prefix / socat TCP copy:      $(ratio "$rate_vnsh_line_prefix" "$rate_socat_tcp")"
echo "vnsh line+prefix / pdsh -R exec labels: $(ratio "$rate_vnsh_line_prefix" "$rate_pdsh_exec")"
echo "vnsh unbuffered / pdsh -R exec labels:  $(ratio "$rate_vnsh_unbuffered" "$rate_pdsh_exec")"
echo "vnsh line+prefix / one write per line:  $(ratio "$rate_vnsh_line_prefix" "$rate_write_per_line") (target 0.95)"

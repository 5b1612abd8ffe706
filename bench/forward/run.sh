#!/bin/bash
# Forwarding throughput: 256 MiB of 80-byte lines from a process placed with
# vnsh_rexec, through the listener to a pipe read by cat, in unbuffered mode
# and in line mode with the node prefix; against a raw loopback TCP copy
# with socat (the limit) and pdsh -R exec with its own line labels.
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

now() { date +%s.%N; }
# rate NAME START END: prints MiB/s and keeps it in rate_NAME
rate() {
    local r
    r=$(awk -v m="$mib" -v a="$2" -v b="$3" 'BEGIN {print m / (b - a)}')
    printf -v "rate_$1" '%.1f' "$r"
    printf '%-32s %8.1f MiB/s\n' "$1" "$r"
}
# time_run NAME COMMAND: runs the command through sh, output to cat
time_run() {
    local name=$1 t0 t1
    shift
    t0=$(now)
    sh -c "$*" | cat >/dev/null
    t1=$(now)
    rate "$name" "$t0" "$t1"
}

gen="$bin/bench-linegen $bytes"
echo "forwarding $mib MiB of 80-byte lines into a pipe read by cat >/dev/null"

port=$((20000 + $$ % 20000))
socat -u TCP-LISTEN:$port,bind=127.0.0.1,reuseaddr STDOUT | cat >/dev/null &
reader=$!
for i in $(seq 50); do # until socat listens
    ss -Hltn "sport = :$port" 2>/dev/null | grep -q . && break
    sleep 0.05
done
t0=$(now)
$gen | socat -u STDIN TCP:127.0.0.1:$port
wait $reader
t1=$(now)
rate socat_tcp "$t0" "$t1"

time_run pdsh_exec "pdsh -R exec -w n0 $gen"
time_run vnsh_unbuffered "$bin/bench-forward-rexec 1 0 $gen"
time_run vnsh_line_prefix "$bin/bench-forward-rexec 1 0x18 $gen"

ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
echo
echo "vnsh unbuffered / socat TCP copy:       $(ratio "$rate_vnsh_unbuffered" "$rate_socat_tcp")"
echo "vnsh line+prefix / socat TCP copy:      $(ratio "$rate_vnsh_line_prefix" "$rate_socat_tcp")"
echo "vnsh line+prefix / pdsh -R exec labels: $(ratio "$rate_vnsh_line_prefix" "$rate_pdsh_exec")"
echo "vnsh unbuffered / pdsh -R exec labels:  $(ratio "$rate_vnsh_unbuffered" "$rate_pdsh_exec")"

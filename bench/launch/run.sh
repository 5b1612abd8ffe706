#!/bin/bash
# Launch cost and labelled throughput of vnsh on an emulated cluster:
# `true` on all 1,000 nodes of a 1,000-node cluster, against pdsh -R exec on
# 1,000 names and against the local floor (xargs -P64 starting /bin/true
# 1,000 times); and 4 nodes each writing 64 MiB of 80-byte lines, labelled,
# into cat, against pdsh -R exec on the same generator.  Then the peak
# memory of vnsh -b when 100 nodes print the same 10 MiB, against clush -b
# (-R exec) on the same, and vnsh's own CPU time per node when it starts
# `true` on 1,000 and on 10,000 nodes (of one 10,000-node cluster), against
# pdsh's own on 1,000.
# Usage: bench/launch/run.sh BUILD_DIR (the x86-64 tree)
set -e
build=${1:?usage: run.sh BUILD_DIR}
bin=$build/bin
nodes=${VNSH_BENCH_NODES:-1000}
bytes=${VNSH_BENCH_BYTES:-67108864}
runs=${VNSH_BENCH_RUNS:-3}
mib=$((4 * bytes / 1048576))

gnodes=${VNSH_BENCH_GATHER_NODES:-100}
gbytes=${VNSH_BENCH_GATHER_BYTES:-10485760}
bignodes=${VNSH_BENCH_BIG_NODES:-10000}
usage=$(dirname "$0")/usage.py

for pkg in pdsh:pdsh clush:clustershell; do
    if ! command -v "${pkg%%:*}" >/dev/null; then
        apt-get update -qq >/dev/null
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${pkg#*:}" >/dev/null
    fi
done

work=$(mktemp -d /tmp/vorn-bench-launch-XXXXXX)
trap 'rm -rf "$work"' EXIT
export VORN_CLUSTER=$work/cluster
"$bin/vornemu" init --nodes "$nodes" --boot-delay 0 >/dev/null

now() { date +%s.%N; }
# timed NAME COMMAND: runs the command through sh, output into cat, and
# keeps the shortest time of NAME in time_NAME
timed() {
    local name=$1 t0 t1 v="time_$1"
    shift
    t0=$(now)
    sh -c "$*" | cat >/dev/null
    t1=$(now)
    t1=$(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.3f", b - a}')
    if [ -z "${!v}" ] || awk -v a="$t1" -v b="${!v}" 'BEGIN {exit !(a < b)}'; then
        printf -v "$v" '%s' "$t1"
    fi
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {if (b == 0) print "n/a"; else printf "%.2f", a / b}'; }
rate() { awk -v m="$mib" -v s="$1" 'BEGIN {printf "%.1f", m / s}'; }

last=$((nodes - 1))
gen="$bin/bench-linegen $bytes"
echo "start true on $nodes nodes; 4 nodes x $((bytes / 1048576)) MiB of 80-byte lines, labelled, into cat (best of $runs)"
for run in $(seq "$runs"); do
    timed floor "seq $nodes | xargs -P64 -n1 /bin/true"
    timed vnsh_launch "$bin/vnsh -w all true"
    timed pdsh_launch "pdsh -R exec -w 'n[0-$last]' true"
    timed vnsh_lines "$bin/vnsh -w 0-3 $gen"
    timed pdsh_lines "pdsh -R exec -w 'n[0-3]' $gen"
done

printf '%-36s %8s s\n' "local floor (xargs -P64 /bin/true)" "$time_floor" \
    "vnsh -w all true" "$time_vnsh_launch" "pdsh -R exec true" "$time_pdsh_launch"
printf '%-36s %8s MiB/s\n' "vnsh labelled lines" "$(rate "$time_vnsh_lines")" \
    "pdsh -R exec labelled lines" "$(rate "$time_pdsh_lines")"
echo
echo "launch: pdsh time / vnsh time (goal >= 2):         $(ratio "$time_pdsh_launch" "$time_vnsh_launch")"
echo "launch: vnsh time / local floor (goal <= 2):       $(ratio "$time_vnsh_launch" "$time_floor")"
echo "throughput: vnsh rate / pdsh rate (goal >= 3):     $(ratio "$time_pdsh_lines" "$time_vnsh_lines")"

# Peak memory of -b: identical outputs are held once.
echo
echo "vnsh -b and clush -b -R exec: $gnodes nodes each printing the same $((gbytes / 1048576)) MiB"
export VORN_CLUSTER=$work/gather
"$bin/vornemu" init --nodes "$gnodes" --boot-delay 0 >/dev/null
read -r _ vnsh_kib < <(python3 "$usage" "$bin/vnsh" -b -w all "$bin/bench-linegen" "$gbytes")
read -r _ clush_kib < <(python3 "$usage" clush -R exec -w "n[0-$((gnodes - 1))]" -b \
    "$bin/bench-linegen" "$gbytes" 2>/dev/null)
mib() { awk -v k="$1" 'BEGIN {printf "%.1f", k / 1024}'; }
printf '%-36s %8s MiB\n' "vnsh -b peak" "$(mib "$vnsh_kib")" "clush -b peak" "$(mib "$clush_kib")"
echo "gather: clush peak / vnsh peak (goal >= 1):        $(ratio "$clush_kib" "$vnsh_kib")"
echo "gather: vnsh peak / one output (goal <= 2):        $(ratio "$vnsh_kib" "$((gbytes / 1024))")"

# vnsh's own CPU per node: the same cost per node at 10,000 as at 1,000.
echo
echo "own CPU time per node starting true: vnsh on 1,000 and $bignodes nodes, pdsh on 1,000"
export VORN_CLUSTER=$work/big
"$bin/vornemu" init --nodes "$bignodes" --boot-delay 0 >/dev/null
read -r cpu_small _ < <(python3 "$usage" "$bin/vnsh" -w 0-999 true)
read -r cpu_big _ < <(python3 "$usage" "$bin/vnsh" -w all true)
read -r cpu_pdsh _ < <(python3 "$usage" pdsh -R exec -w 'n[0-999]' true)
per() { awk -v c="$1" -v n="$2" 'BEGIN {printf "%.3f", 1000 * c / n}'; }
printf '%-36s %8s ms\n' "vnsh, 1,000 nodes" "$(per "$cpu_small" 1000)" \
    "vnsh, $bignodes nodes" "$(per "$cpu_big" "$bignodes")" \
    "pdsh -R exec, 1,000 nodes" "$(per "$cpu_pdsh" 1000)"
echo "cpu/node: $bignodes nodes / 1,000 (goal <= 1.5):       $(ratio "$(per "$cpu_big" "$bignodes")" "$(per "$cpu_small" 1000)")"
echo "cpu/node: pdsh / vnsh at 1,000 (goal >= 1):           $(ratio "$cpu_pdsh" "$cpu_small")"

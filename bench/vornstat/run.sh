#!/bin/bash
# run.sh BUILD_DIR - vornstat on a 1,000,000-node emulated cluster: the
# summary and the long rows (one process list per node), time and peak
# memory, against "vornemu show" (the emulator reading its own files,
# every node with its processes) in the same run.
set -euo pipefail
build=${1:?usage: run.sh BUILD_DIR}
bin=$build/bin
for p in vornemu vornstat; do
    if [ ! -x "$bin/$p" ]; then
        echo "no $bin/$p: build the tree first" >&2
        exit 1
    fi
done
work=$(mktemp -d /tmp/vorn-bench-vornstat-XXXXXX)
trap 'rm -rf "$work"' EXIT
export VORN_CLUSTER=$work/cluster
nodes=1000000
"$bin/vornemu" init --nodes $nodes --boot-delay 0 >/dev/null
# A few nodes in other states, so the summary folds several lists.
"$bin/vornctl" -S 10-19,500000 -s down -S 999990- -s unavailable

# measure COMMAND...: prints "seconds peak-KiB" of one run, output discarded.
measure() {
    if [ -x /usr/bin/time ]; then
        /usr/bin/time -f '%e %M' -o "$work/time" "$@" >/dev/null
        cat "$work/time"
    else
        python3 -c '
import resource, subprocess, sys, time
t = time.monotonic()
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, check=True)
t = time.monotonic() - t
print("%.2f %d" % (t, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss))' "$@"
    fi
}

show=$(measure "$bin/vornemu" show)
summary=$(measure "$bin/vornstat")
long=$(measure "$bin/vornstat" -l)
echo "$nodes nodes; ratios against vornemu show >/dev/null of the same run"
printf '%-28s %9s %10s %10s %10s\n' command seconds peak-KiB time-ratio mem-ratio
for row in "vornemu show|$show" "vornstat|$summary" "vornstat -l|$long"; do
    name=${row%%|*}
    set -- ${row#*|}
    awk -v n="$name >/dev/null" -v t="$1" -v m="$2" -v st="${show% *}" -v sm="${show#* }" \
        'BEGIN { printf "%-28s %9.2f %10d %10.2f %10.2f\n", n, t, m, t / st, m / sm }'
done

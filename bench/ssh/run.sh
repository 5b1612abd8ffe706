#!/bin/bash
# run.sh BUILD_DIR - a cluster whose nodes are hosts reached over OpenSSH,
# against private sshd daemons on 64 loopback addresses (scripts/sshrig.sh),
# each figure the median of several runs, every peer in the same run:
# 1. "true" on 8 and on 64 hosts: vnsh -w all with warm ssh masters
#    (vornemu connect) against pdsh -R ssh plain (a new connection per host)
#    and multiplexed (a warm ControlMaster per host, opened before timing);
# 2. 64 MiB through one node: vnsh -w 0 cat against ssh HOST cat (plain, and
#    through a warm master) and against socat relaying its standard streams
#    to ssh HOST cat (a relay process in front of ssh, as vnsh has one).
# The sessions skip the user's ~/.bashrc (see below).  Every client uses
# the curve25519 key exchange (the rig's ssh_config):
# OpenSSH's default post-quantum one costs several times its CPU on each
# new connection, which would weigh on the plain peer alone.
set -euo pipefail
build=${1:?usage: run.sh BUILD_DIR}
bin=$build/bin
if [ ! -x "$bin/vnsh" ]; then
    echo "no $bin/vnsh: build the tree first" >&2
    exit 1
fi
. "$(dirname "$0")/../../scripts/sshrig.sh"
why=$(sshrig_unusable)
if [ -n "$why" ]; then
    echo "ssh benchmark left out: $why"
    exit 0
fi
work=$(mktemp -d /tmp/vorn-bench-ssh-XXXXXX)
clusters=()
cleanup() {
    local c
    for c in "${clusters[@]}"; do
        VORN_CLUSTER=$c "$bin/vornemu" destroy >/dev/null 2>&1 || true
    done
    if [ -e "$work/mux_config" ]; then
        while read -r h; do
            ssh -F "$work/mux_config" -O exit "$h" 2>/dev/null || true
        done <"$SSHRIG_HOSTS"
    fi
    sshrig_stop
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -m 0700 "$work/rig"
# SHLVL=1 in the sessions' environment keeps bash, run by sshd, from reading
# ~/.bashrc: start-up files (a user's own may start pyenv, 0.2 s a session)
# cost every tool alike, and would hide what differs.
sshrig_start "$work/rig" 64 "SetEnv SHLVL=1"
config=$SSHRIG_CONFIG
head -n 8 "$SSHRIG_HOSTS" >"$work/hosts8"
cp "$SSHRIG_HOSTS" "$work/hosts64"
node0=$(head -n 1 "$SSHRIG_HOSTS")

# The multiplexed peer: the rig's configuration and a master per host.
cp "$config" "$work/mux_config"
printf 'ControlMaster auto\nControlPath %s/cm-%%C\nControlPersist 600\n' "$work" >>"$work/mux_config"
masters=()
while read -r h; do
    ssh -F "$work/mux_config" "$h" true &
    masters+=($!)
done <"$SSHRIG_HOSTS"
wait "${masters[@]}"

now() { date +%s.%N; }
# median REPS COMMAND: seconds, the median of REPS runs of sh -c COMMAND
median() {
    local n=$1 r t0 t1 ts=()
    shift
    for ((r = 0; r < n; r++)); do
        t0=$(now)
        sh -c "$*" >/dev/null
        t1=$(now)
        ts+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f", b - a }')")
    done
    printf '%s\n' "${ts[@]}" | sort -g | awk '{ t[NR] = $1 } END { print t[int((NR + 1) / 2)] }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
# reaches N COMMAND: warns unless sh -c "COMMAND echo x" prints N lines
reaches() {
    local got
    got=$(sh -c "$2 echo x" 2>&1 | grep -c 'x$' || true)
    [ "$got" = "$1" ] || echo "warning: $2 echo x reached $got of $1 hosts" >&2
}

# Ours: a host cluster of the first N hosts with warm masters; empty when
# vornemu cannot make one (the reason in $work/ours.err).
ours_cluster() {
    export VORN_CLUSTER=$work/c$1
    clusters+=("$VORN_CLUSTER")
    if ! "$bin/vornemu" init --hosts "$work/hosts$1" --ssh-config "$config" --force \
        >/dev/null 2>"$work/ours.err"; then
        return 1
    fi
    "$bin/vornemu" connect >/dev/null 2>"$work/ours.err"
}

ours_made=
pdsh_plain="PDSH_SSH_ARGS_APPEND='-F $config' pdsh -R ssh -f 64"
pdsh_mux="PDSH_SSH_ARGS_APPEND='-F $work/mux_config' pdsh -R ssh -f 64"
reps=5
echo "true on N hosts, median of $reps runs, seconds"
printf '%-6s %12s %12s %12s %14s %15s\n' hosts pdsh-plain pdsh-mux vnsh pdsh-mux/vnsh pdsh-plain/vnsh
for n in 8 64; do
    plain=- mux=- ours=- r1=- r2=-
    if command -v pdsh >/dev/null; then
        reaches "$n" "$pdsh_plain -w ^$work/hosts$n"
        reaches "$n" "$pdsh_mux -w ^$work/hosts$n"
        plain=$(median $reps "$pdsh_plain -w ^$work/hosts$n true")
        mux=$(median $reps "$pdsh_mux -w ^$work/hosts$n true")
    fi
    if ours_cluster "$n"; then
        ours_made="$ours_made $n"
        reaches "$n" "$bin/vnsh -w all"
        ours=$(median $reps "$bin/vnsh -w all true")
        [ "$mux" = - ] || r1=$(ratio "$mux" "$ours")
        [ "$plain" = - ] || r2=$(ratio "$plain" "$ours")
    else
        echo "vnsh on $n hosts left out: $(head -n 1 "$work/ours.err")" >&2
    fi
    printf '%-6s %12s %12s %12s %14s %15s\n' "$n" "$plain" "$mux" "$ours" "$r1" "$r2"
done
command -v pdsh >/dev/null || echo "pdsh is missing: scripts/deps.sh bench installs it"

echo
echo "64 MiB through one node ($node0), median of 3 runs"
# stream COMMAND: MiB/s of 64 MiB of zeros through sh -c COMMAND
stream() {
    local bytes
    bytes=$(head -c 64M /dev/zero | sh -c "$1" | wc -c)
    [ "$bytes" = 67108864 ] || echo "warning: $1 gave $bytes bytes of 67108864" >&2
    awk -v t="$(median 3 "head -c 64M /dev/zero | $1")" 'BEGIN { printf "%.0f", 64 / t }'
}
ssh_cat=$(stream "ssh -F $config $node0 cat")
printf '%-44s %8s MiB/s\n' "ssh HOST cat (a new connection)" "$ssh_cat"
printf '%-44s %8s MiB/s\n' "ssh HOST cat (through a warm master)" \
    "$(stream "ssh -F $work/mux_config $node0 cat")"
if command -v socat >/dev/null; then
    printf '%-44s %8s MiB/s\n' "socat - EXEC:'ssh HOST cat'" \
        "$(stream "socat -t 60 - EXEC:'ssh -F $config $node0 cat'")"
else
    echo "socat is missing: scripts/deps.sh bench installs it"
fi
# The cluster of 8 hosts again, its masters still warm.
if [[ " $ours_made " == *" 8 "* ]]; then
    export VORN_CLUSTER=$work/c8
    ours=$(stream "$bin/vnsh -w 0 cat")
    printf '%-44s %8s MiB/s\n' "vnsh -w 0 cat (a warm master)" "$ours"
    echo "stream: vnsh / ssh HOST cat (goal >= 0.8): $(ratio "$ours" "$ssh_cat")"
else
    echo "vnsh -w 0 cat left out: $(head -n 1 "$work/ours.err")"
fi

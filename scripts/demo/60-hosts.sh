# demo: a cluster whose nodes are hosts reached over OpenSSH (here 4 private sshd daemons' loopback addresses)
. "$VORN_TOP/scripts/sshrig.sh"
hosts_why=$(sshrig_unusable)
if [ -z "$hosts_why" ] && ! vornemu --help 2>&1 | grep -q -- --hosts; then
    hosts_why="this vornemu makes no host clusters (init --hosts)"
fi
if [ -n "$hosts_why" ]; then
    echo "the host cluster part is left out: $hosts_why"
else
    mkdir -m 0700 "$VORN_DEMO_WORK/rig"
    # The daemons and the ssh masters end with the demo, whatever happens.
    trap 'VORN_CLUSTER=$VORN_DEMO_WORK/hosts vornemu destroy >/dev/null 2>&1; sshrig_stop; rm -rf "$VORN_DEMO_WORK"' EXIT
    sshrig_start "$VORN_DEMO_WORK/rig" 4
    emulated=$VORN_CLUSTER
    export VORN_CLUSTER=$VORN_DEMO_WORK/hosts
    say "4 hosts, one a line; the ssh configuration names the port, the key and the known host keys"
    run cat "$SSHRIG_HOSTS"
    run vornemu init --hosts "$SSHRIG_HOSTS" --ssh-config "$SSHRIG_CONFIG"
    say "one ssh master connection per host, opened ahead of the runs"
    run vornemu connect
    run vnsh -w allup uname -n
    say "node 3 taken down: allup leaves it out, and a run there is refused"
    run vornctl -S 3 -s down
    run vnsh -w allup true
    run vnsh -w 3 true || echo "exit status $?"
    run vornemu destroy
    export VORN_CLUSTER=$emulated
    sshrig_stop
    trap 'rm -rf "$VORN_DEMO_WORK"' EXIT
fi

# sshrig.sh - private sshd daemons on loopback addresses, sourced by the ssh
# benchmark and the demo: node i is 127.3.0.0 + i + 1, one sshd per 16
# nodes (sshd takes at most 16 ListenAddress lines) on one free high port,
# with keys, configurations and known hosts in a directory of their own.
# As tests/common/sshrig.cc does for the C++ tests.

# sshrig_unusable: prints why no sshd can be started here, or nothing.
sshrig_unusable() {
    if [ ! -x /usr/sbin/sshd ] || ! command -v ssh-keygen >/dev/null; then
        echo "no OpenSSH server (/usr/sbin/sshd, ssh-keygen): scripts/deps.sh bench installs it"
    elif [ "$(id -u)" = 0 ] && ! mkdir -p -m 0755 /run/sshd 2>/dev/null; then
        # Root's sshd keeps its privilege-separation chroot there.
        echo "/run/sshd cannot be made"
    fi
}

sshrig_addr() { # sshrig_addr NODE
    local n=$(($1 + 1))
    echo "127.3.$((n / 256)).$((n % 256))"
}

# sshrig_start DIR NODES [LINE...]: starts the daemons for nodes
# 0..NODES-1 with their files in DIR (an empty private directory), each
# LINE added to their sshd_config, and waits, at most 30 s, until each
# listens.  Sets SSHRIG_CONFIG (the client's ssh_config), SSHRIG_HOSTS (the
# node addresses, one a line), SSHRIG_PORT and SSHRIG_PIDS.
sshrig_start() {
    local dir=$1 nodes=$2 i k key last conf
    shift 2
    SSHRIG_CONFIG=$dir/ssh_config SSHRIG_HOSTS=$dir/hosts SSHRIG_PIDS=
    ssh-keygen -q -t ed25519 -N '' -C vorn-rig -f "$dir/host_ed25519" &&
        ssh-keygen -q -t ed25519 -N '' -C vorn-rig -f "$dir/id_ed25519" || return 1
    cp "$dir/id_ed25519.pub" "$dir/authorized_keys"
    # A port the kernel calls free on every address.
    SSHRIG_PORT=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("", 0)); print(s.getsockname()[1])') || return 1
    key=$(cut -d' ' -f1,2 "$dir/host_ed25519.pub")
    : >"$dir/known_hosts"
    : >"$SSHRIG_HOSTS"
    for ((i = 0; i < nodes; i++)); do
        echo "[$(sshrig_addr $i)]:$SSHRIG_PORT $key" >>"$dir/known_hosts"
        sshrig_addr $i >>"$SSHRIG_HOSTS"
    done
    # curve25519: the default post-quantum key exchange costs several times
    # its CPU on every new connection.  Host keys are checked, always.
    cat >"$SSHRIG_CONFIG" <<EOF
Port $SSHRIG_PORT
IdentityFile $dir/id_ed25519
IdentitiesOnly yes
UserKnownHostsFile $dir/known_hosts
GlobalKnownHostsFile /dev/null
StrictHostKeyChecking yes
BatchMode yes
LogLevel ERROR
KexAlgorithms curve25519-sha256
EOF
    local lasts=()
    for ((k = 0; k * 16 < nodes; k++)); do
        conf=$dir/sshd_config.$k
        : >"$conf"
        for ((i = k * 16; i < (k + 1) * 16 && i < nodes; i++)); do
            last=$(sshrig_addr $i)
            echo "ListenAddress $last:$SSHRIG_PORT" >>"$conf"
        done
        cat >>"$conf" <<EOF
HostKey $dir/host_ed25519
PidFile $dir/sshd.$k.pid
AuthorizedKeysFile $dir/authorized_keys
StrictModes no
UsePAM no
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
MaxStartups 256
LogLevel ERROR
EOF
        [ $# = 0 ] || printf '%s\n' "$@" >>"$conf"
        # sshd re-executes itself, so a full path; its sessions start with
        # default signal handling, not a background job's ignored SIGINT.
        # As root, in a mount namespace of its own, a tmpfs over root's home
        # whose start-up files print a line on each stream (which the tools
        # must drop) and do nothing slow, whatever the machine's own do.
        if [ "$(id -u)" = 0 ] && unshare --mount --propagation private true 2>/dev/null; then
            env --default-signal unshare --mount --propagation private sh -c '
                if mount -t tmpfs -o mode=0700 vorn-rig-home "$1" 2>/dev/null; then
                    for f in .bashrc .profile .zshenv; do
                        echo "echo rig-login-noise; echo rig-login-noise >&2" >"$1/$f"
                    done
                fi
                exec /usr/sbin/sshd -D -e -f "$2"' sh "$(getent passwd 0 | cut -d: -f6)" "$conf" \
                </dev/null 2>"$dir/sshd.$k.log" &
        else
            env --default-signal /usr/sbin/sshd -D -e -f "$conf" </dev/null 2>"$dir/sshd.$k.log" &
        fi
        SSHRIG_PIDS="$SSHRIG_PIDS $!"
        lasts+=("$last")
    done
    # sshd binds its addresses in order before it accepts: wait for the last.
    local deadline=$((SECONDS + 30)) p
    k=0
    for p in $SSHRIG_PIDS; do
        until (exec 3<>"/dev/tcp/${lasts[k]}/$SSHRIG_PORT") 2>/dev/null; do
            if ! kill -0 "$p" 2>/dev/null; then
                echo "sshd for ${lasts[k]} port $SSHRIG_PORT ended before it listened: $(cat "$dir/sshd.$k.log")" >&2
                sshrig_stop
                return 1
            fi
            if ((SECONDS > deadline)); then
                echo "sshd for ${lasts[k]} port $SSHRIG_PORT did not listen within 30 s" >&2
                sshrig_stop
                return 1
            fi
            sleep 0.05
        done
        k=$((k + 1))
    done
}

# sshrig_stop: ends the daemons, by pid, and the sessions they left.
sshrig_stop() {
    local p
    for p in $SSHRIG_PIDS; do
        pkill -KILL -P "$p" 2>/dev/null || true
        kill "$p" 2>/dev/null || true
    done
    for p in $SSHRIG_PIDS; do
        wait "$p" 2>/dev/null || true
    done
    SSHRIG_PIDS=
}

// sshrig.h - private OpenSSH daemons on loopback addresses, for tests of a
// cluster whose nodes are hosts reached over ssh.
#ifndef VORN_SSHRIG_H
#define VORN_SSHRIG_H

#include <string>
#include <sys/types.h>
#include <vector>

// A rig of nodes: node i is the address 127.3.0.0 + i + 1, served by one
// sshd per 16 nodes (sshd takes at most 16 ListenAddress lines), all on one
// high port, in a fresh private directory holding the keys, the daemons'
// configurations and the client's.  The tests' user logs in with the rig's
// own key; host keys are checked against the rig's own known_hosts.
struct tu_sshrig {
    std::string dir;                // the private temporary directory
    std::string config;             // ssh_config for clients (ssh -F, --ssh-config)
    std::string hosts;              // the node addresses, one a line, node 0 first
    std::string known_hosts;        // the client's known hosts (config names it)
    std::vector<std::string> addrs; // node i's address
    int port = 0;
    std::vector<pid_t> daemons;
};

// Starts daemons for nodes 0..nodes-1 and waits, bounded, until each
// listens; the nodes in without get no daemon listening on their address
// (a host without sshd).  On failure it reports a test failure naming what
// went wrong and returns a rig with an empty dir (stopping it is harmless).
tu_sshrig tu_sshrig_start(int nodes, const std::vector<int> &without = {});

// Ends the daemons and every process they started (sessions left open),
// waits for the daemons and removes the directory.
void tu_sshrig_stop(tu_sshrig &rig);

#endif

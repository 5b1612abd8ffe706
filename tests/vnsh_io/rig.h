// rig.h - a forwarding listener started through spawn_listener with real
// local descriptors, and a stand-in for the remote process's connections.
#ifndef VNSH_RIG_H
#define VNSH_RIG_H

#include <string>
#include <vector>

// Local input of the listener (its descriptor 0).
enum rig_input {
    RIG_INPUT_PIPE,   // a pipe whose write end the test holds (in_w)
    RIG_INPUT_EMPTY,  // empty (a pipe without writer): local input ends at once
    RIG_INPUT_CLOSED, // no descriptor 0 at all
    RIG_INPUT_SOCKET, // SOCK_SEQPACKET: in_w sends input and receives, one
                      // record per write, what stream 0 forwards to local 0
    RIG_INPUT_LSOCK,  // descriptor 0 is the listening socket itself (made by
                      // a caller that had 0 closed)
};

struct rig {
    int port = -1;    // the listening port
    int pid = -1;     // the listener
    int hdr_pid = -1; // the process id the listener expects in headers
    int in_w = -1;    // the test's end of local input (PIPE, SOCKET)
    int out_r = -1;   // reading end of local 1: SOCK_SEQPACKET, one record per write
    int err_r = -1;   // reading end of local 2, the same
    int status = -1;  // exit status once reaped (128 + signal when killed)
    int helper = -1;  // the listener's parent (the caller of spawn_listener)
    int states = -1;  // the helper's reports: each wait status of the listener
};

// Starts a listener with the flags and the prefix node.  The listener's
// parent is a helper process that called spawn_listener and stays, holding
// none of the rig's descriptors, to report each change of the listener's
// state (stopped, continued, ended) to the test.
// A buffer size other than 4096 also caps the listener's data at 64 MiB
// above what it has, so that a large size cannot be allocated.
// quiet is the quiet period in milliseconds, node_addr the node's address (none
// when null: only loopback peers).
rig rig_start(int flags, int node, rig_input input, int buffer = 4096, int quiet = 45000,
              const char *node_addr = nullptr);
// Closes the test's descriptors; kills (SIGHUP) and reaps a listener still
// running.
void rig_stop(rig &r);

// A connection to the listener that sends the header (pid, stream), and
// holds its end until the listener has taken it off its queue and read the
// header, as a placed process does.
int rig_connect(const rig &r, int pid, int stream);
// The same, sending only the first hdr_bytes bytes of the header.
int rig_connect_partial(const rig &r, int pid, int stream, int hdr_bytes);
// The same, from the local address from (dotted quad).
int rig_connect_from(const rig &r, const char *from, int pid, int stream, int hdr_bytes);
// Waits until the listener has taken the connection fd off its queue (or
// closed it); false after 30 seconds.
bool rig_taken(int fd);
// Waits until the listener has seen the end of its local input; false
// after 30 seconds.
bool rig_input_ended(const rig &r);
// Waits until the listener has read everything sent on fd so far (or
// closed it); false after 30 seconds.
bool rig_drained(int fd);

void send_all(int fd, const std::string &data);

// The waits below are bounded at 30 seconds by default: far above what a
// busy machine or an emulator takes, and below the real quiet period
// (45 s), so that a listener that waits it out where it should end at once
// still fails the test.

// True when the peer has closed fd (EOF or reset) within timeout_ms,
// with no data before.
bool peer_closed(int fd, int timeout_ms = 30000);
// Reads fd until EOF, or until timeout_ms pass without data.
std::string read_until_eof(int fd, int timeout_ms = 30000);
// The records of a SOCK_SEQPACKET end until EOF (or timeout_ms of silence).
std::vector<std::string> read_records(int fd, int timeout_ms = 30000);
// Waits up to timeout_ms for the listener to end; true when it did, with
// r.status set.
bool rig_wait(rig &r, int timeout_ms = 30000);
// Waits up to 30 seconds for the listener's next change of state; true when
// it is that it stopped.
bool rig_stopped(rig &r);

#endif

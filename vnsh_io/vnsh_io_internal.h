/* vnsh_io_internal.h - the forwarding library's own functions and values.
 * They are file-local in the delivered object; the test build (VNSH_TESTING)
 * gives them external linkage so that the listener can be driven directly. */
#ifndef VNSH_IO_INTERNAL_H
#define VNSH_IO_INTERNAL_H

#include <linux/inet_diag.h>
#include <netinet/in.h>
#include <vorn/vorn.h>

#ifdef VNSH_TESTING
#define VNSH_STATIC
#else
#define VNSH_STATIC static
#endif

#ifdef VNSH_TESTING
/* Size of every forwarding buffer; in line mode the longest piece of a line
 * that is held back waiting for its newline. */
extern int buffer_size;
/* Node printed in the line prefix; the entry points set it to the target. */
extern int nodenum;
/* Milliseconds without any event after which the listener gives up streams
 * that never connected (45 seconds). */
extern int quiet_ms;
/* The target node's address, network order (0: none): besides loopback,
 * the only peer address a stream may come from. */
extern in_addr_t nodeaddr;
#endif

/* Forks the listener for the listening socket lsock, which accepts the
 * connections of process pid; returns its process id, or -1.  The caller's
 * copy of lsock is closed either way.  The listener exits with status 1
 * when a stream never connected or an output connection failed, else 0. */
VNSH_STATIC int spawn_listener(int lsock, int pid, int flags);
/* Add O_NONBLOCK / FD_CLOEXEC; print "fcntl" and exit(1) on failure. */
VNSH_STATIC void set_non_block(int fd);
VNSH_STATIC void set_close_exec(int fd);
/* A non-blocking, close-on-exec TCP listening socket on a port chosen by
 * the system; addr gets the bound address.  -1 on failure. */
VNSH_STATIC int setup_socket(struct sockaddr_in *addr);
/* setup_socket, then the three socket records for descriptors 0, 1, 2. */
VNSH_STATIC int setup_io(int *lsock, struct io_redirect io[3]);
/* Asks the kernel (sock_diag, else /proc/net/tcp) about the TCP socket on
 * this machine whose own address is peer and whose remote end is local; 1
 * with its record in *out; 0 when there is no such socket here; -1 when it
 * cannot be told (something else answers there, or the question failed). */
VNSH_STATIC int sock_find(const struct sockaddr_in *peer, const struct sockaddr_in *local,
                          struct inet_diag_msg *out);

#endif /* VNSH_IO_INTERNAL_H */

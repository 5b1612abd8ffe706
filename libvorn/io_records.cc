/* io_records.cc - the I/O redirection records of a placement: checked,
 * opened aside (files, and connections from the node's own address),
 * installed over the caller's descriptors or put back. */
#include "place.h"
#include "tcp_end.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

/* Null with count -1 means no records; anything else must be sound. */
int io_check(const struct io_redirect *io, int count)
{
    if (count == -1 && !io)
        return 0;
    if (count < 0) {
        errno = EINVAL;
        return -1;
    }
    if (count > 0 && !io) {
        errno = EFAULT;
        return -1;
    }
    long open_max = sysconf(_SC_OPEN_MAX);
    for (int i = 0; i < count; i++) {
        /* A descriptor that dup2 could not make (and no fd + 1 overflow). */
        if (io[i].fd < 0 || io[i].fd == INT_MAX || (open_max > 0 && io[i].fd >= open_max)) {
            errno = EBADF;
            return -1;
        }
        if (io[i].type != IO_FILE && io[i].type != IO_SOCKET) {
            errno = EINVAL;
            return -1;
        }
        if (io[i].type == IO_FILE && !memchr(io[i].d.file.name, 0, sizeof io[i].d.file.name)) {
            errno = ENAMETOOLONG;
            return -1;
        }
    }
    return 0;
}

/* connect, finishing a connection that a signal interrupted. */
static int connect_full(int fd, const struct sockaddr_in *a)
{
    if (connect(fd, (const struct sockaddr *)a, sizeof *a) == 0)
        return 0;
    if (errno != EINTR)
        return -1;
    for (;;) {
        struct pollfd p = {fd, POLLOUT, 0};
        int r = poll(&p, 1, -1);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return -1;
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0)
            return -1;
        if (err) {
            errno = err;
            return -1;
        }
        return 0;
    }
}

/* The connection header, without SIGPIPE should the peer be gone. */
static int send_full(int fd, const void *buf, size_t len)
{
    size_t done = 0;
    while (done < len) {
        ssize_t n = send(fd, (const char *)buf + done, len - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        done += (size_t)n;
    }
    return 0;
}

/* A process placed on node connects from that node's own address, as it
 * would from a real node: the master's, or node i's loopback address
 * 127.1.0.0 + i + 1.  Only where the destination is this machine's
 * loopback; a real host elsewhere is reached from a real address. */
static int io_bind_node(int fd, const struct sockaddr_in *dest, int node)
{
    if ((ntohl(dest->sin_addr.s_addr) >> 24) != 127)
        return 0;
    struct sockaddr_in from;
    memset(&from, 0, sizeof from);
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(node < 0 ? INADDR_LOOPBACK : 0x7f010000u + (uint32_t)node + 1);
    return bind(fd, (const struct sockaddr *)&from, sizeof from);
}

/* Waits, for at most 10 seconds, until the peer on this machine has taken
 * the connection off its listening queue and read what was sent (the
 * header), or closed it.  A forwarding listener checks who holds a local
 * peer's end after it accepts and before it reads a byte; a placed program
 * that exits before that would leave an end that nobody holds any more,
 * whose stream the listener refuses. */
static void io_wait_taken(int fd)
{
    struct sockaddr_in self, peer;
    socklen_t len = sizeof self;
    if (getsockname(fd, (struct sockaddr *)&self, &len) < 0)
        return;
    len = sizeof peer;
    if (getpeername(fd, (struct sockaddr *)&peer, &len) < 0 ||
        (ntohl(peer.sin_addr.s_addr) >> 24) != 127)
        return;
    int nl;
    if (tcp_end_open(&nl) < 0)
        return;
    for (long waited = 0, step = 50; waited < 10000000; waited += step) {
        struct inet_diag_msg m;
        if (tcp_end_find(nl, &peer, &self, &m) != 1)
            break;
        /* Still queued (no process holds it yet), or taken but its header
         * not read yet: the listener checks the owner between the two. */
        if (m.idiag_state != 1 || (m.idiag_inode != 0 && m.idiag_rqueue == 0))
            break;
        usleep((useconds_t)step);
        if (step < 10000)
            step *= 2;
    }
    if (nl >= 0)
        close(nl);
}

/* io_wait_taken for every installed socket record that sent a header
 * (the forwarding kind), once the placement no longer waits on its caller. */
void io_wait_all(const struct io_redirect *io, int count)
{
    for (int i = 0; io && i < count; i++)
        if (io[i].type == IO_SOCKET && io[i].send_header)
            io_wait_taken(io[i].fd);
}

static int io_open_one(const struct io_redirect *r, int min_fd, int node)
{
    int fd = -1;
    if (r->type == IO_SOCKET) {
        struct sockaddr_in a;
        memcpy(&a, &r->d.addr, sizeof a);
        if (a.sin_family != AF_INET) {
            errno = EAFNOSUPPORT;
            return -1;
        }
        /* Address 0 is the calling node: this machine. */
        if (a.sin_addr.s_addr == htonl(INADDR_ANY))
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        memset(a.sin_zero, 0, sizeof a.sin_zero);
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return -1;
        if (io_bind_node(fd, &a, node) < 0 || connect_full(fd, &a) < 0)
            goto fail;
        if (r->send_header) {
            int32_t hdr[2] = {(int32_t)getpid(), r->fd};
            if (send_full(fd, hdr, sizeof hdr) < 0)
                goto fail;
        }
    } else {
        fd = open(r->d.file.name, r->d.file.open_flags | O_CLOEXEC, (mode_t)r->d.file.open_mode);
        if (fd < 0)
            return -1;
        if (r->d.file.offset != 0 && lseek(fd, (off_t)r->d.file.offset, SEEK_SET) < 0)
            goto fail;
    }
    if (fd < min_fd) {
        /* Keep the temporary clear of every descriptor a record sets. */
        int high = fcntl(fd, F_DUPFD_CLOEXEC, min_fd);
        if (high < 0)
            goto fail;
        close(fd);
        fd = high;
    }
    return fd;
fail : {
    int saved = errno;
    close(fd);
    errno = saved;
}
    return -1;
}

void io_release(struct io_state *st)
{
    int saved = errno;
    for (int i = 0; i < st->count; i++)
        if (st->temps && st->temps[i] >= 0)
            close(st->temps[i]);
    for (int i = 0; i < st->nsaved; i++)
        if (st->saved[i].copy >= 0)
            close(st->saved[i].copy);
    free(st->temps);
    free(st->saved);
    memset(st, 0, sizeof *st);
    errno = saved;
}

/* Opens every record's file or connection into temporaries, in array
 * order; nothing of the caller's is touched yet. */
int io_open_all(const struct io_redirect *io, int count, struct io_state *st, int node)
{
    memset(st, 0, sizeof *st);
    if (count <= 0 || !io)
        return 0;
    int min_fd = 0;
    for (int i = 0; i < count; i++)
        if (io[i].fd >= min_fd)
            min_fd = io[i].fd + 1;
    st->temps = (int *)malloc((size_t)count * sizeof *st->temps);
    st->saved = (struct io_saved *)malloc((size_t)count * sizeof *st->saved);
    if (!st->temps || !st->saved) {
        io_release(st);
        errno = ENOMEM;
        return -1;
    }
    for (int i = 0; i < count; i++)
        st->temps[i] = -1;
    st->count = count;
    st->min_fd = min_fd;
    for (int i = 0; i < count; i++) {
        st->temps[i] = io_open_one(&io[i], min_fd, node);
        if (st->temps[i] < 0) {
            io_release(st);
            return -1;
        }
    }
    return 0;
}

void io_restore(struct io_state *st)
{
    int saved = errno;
    for (int i = st->nsaved - 1; i >= 0; i--) {
        struct io_saved *s = &st->saved[i];
        if (s->copy < 0) {
            close(s->fd);
        } else {
            dup2(s->copy, s->fd);
            fcntl(s->fd, F_SETFD, s->fdflags);
        }
    }
    errno = saved;
}

/* Makes each temporary the record's descriptor, in array order, keeping
 * a copy of what was there first. */
int io_install(const struct io_redirect *io, struct io_state *st)
{
    for (int i = 0; i < st->count; i++) {
        int fd = io[i].fd, known = 0;
        for (int k = 0; k < st->nsaved && !known; k++)
            known = st->saved[k].fd == fd;
        if (!known) {
            struct io_saved *s = &st->saved[st->nsaved];
            s->fd = fd;
            s->fdflags = fcntl(fd, F_GETFD);
            /* The copy too stays clear of the descriptors records set. */
            s->copy = s->fdflags < 0 ? -1 : fcntl(fd, F_DUPFD_CLOEXEC, st->min_fd);
            if (s->fdflags >= 0 && s->copy < 0) {
                io_restore(st);
                return -1;
            }
            st->nsaved++;
        }
        if (dup2(st->temps[i], fd) < 0) {
            io_restore(st);
            return -1;
        }
    }
    return 0;
}

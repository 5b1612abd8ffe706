/* vnsh_io.cc - run, move or fork a process onto a node with its standard
 * streams forwarded over TCP to a listener process on the calling node. */
#include <vorn/vnsh_io.h>
#include <vorn/vorn.h>

#include "../libvorn/tcp_end.h"
#include "vnsh_io_internal.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/inet_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

/* Connections accepted whose 8-byte header has not fully arrived yet. */
#define PENDING_MAX 8
#define HEADER_SIZE 8

/* One forwarded stream of the remote process, indexed by its descriptor. */
struct io_stream {
    int fd;     /* accepted socket; -1 while not connected and after the end */
    int out_fd; /* local descriptor copied to; -1 after the end */
    int len;    /* line mode: bytes of an unfinished line at buf */
    char *buf;  /* buffer_size bytes */
};

/* The forwarder of local input into the remote standard input. */
struct input_buffer {
    int in_fd;    /* local input; -1 once it has ended */
    int len;      /* bytes held, counted from base */
    int out_fd;   /* the standard-input socket while attached, else -1 */
    char *cursor; /* next byte to send; null once the sending side detached */
    char *base;   /* buffer_size bytes */
};

/* A connection whose header is still being read. */
struct pending_conn {
    int fd;
    int got;
    unsigned char hdr[HEADER_SIZE];
};

/* The listener's counters (see listener_run). */
struct listen_counts {
    int expected;     /* stream connections still expected */
    int accepts_left; /* connections with the right pid still allowed */
    int active;       /* attached streams that have not ended */
};

VNSH_STATIC int buffer_size = 4096;
VNSH_STATIC int nodenum = -1;
/* Milliseconds of silence after which streams that never connected are
 * given up. */
VNSH_STATIC int quiet_ms = 45000;
/* The target node's address (network order), the only one besides
 * loopback that a stream may come from; 0 when there is none. */
VNSH_STATIC in_addr_t nodeaddr;

static struct io_stream nio[3];
static struct input_buffer input;
static struct pending_conn pending[PENDING_MAX];
static int npending;
/* Streams for which a connection has been taken (or, for 0, refused). */
static int stream_taken[3];
/* An output stream whose connection failed (a reset) before its end. */
static int stream_broken;
/* Line mode: where a prefixed line is put together for its single write. */
static char *line_buf;
/* The user whose sockets on this machine may carry streams (besides root). */
static uid_t listener_uid;

/* Writes all of buf to a local descriptor: a descriptor that takes the
 * whole piece gets it in one write; a short write is completed, EINTR is
 * retried and EAGAIN waits until the descriptor is writable.  -1 when the
 * descriptor failed for good (EPIPE, EBADF, EIO, ENOSPC, ...). */
static int local_write(int fd, const char *buf, size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, buf, len);
        if (n > 0) {
            buf += n;
            len -= (size_t)n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            struct pollfd p = {fd, POLLOUT, 0};
            if (poll(&p, 1, -1) < 0 && errno != EINTR)
                return -1;
            continue;
        }
        return -1;
    }
    return 0;
}

[[noreturn]] static void listener_nomem(void)
{
    errno = ENOMEM;
    perror("vnsh_io: listener");
    _exit(1);
}

static char *listener_alloc(size_t len)
{
    char *p = (char *)malloc(len);
    if (!p)
        listener_nomem();
    return p;
}

VNSH_STATIC void set_non_block(int fd)
{
    int fl = fcntl(fd, F_GETFL);
    if (fl == -1 || fcntl(fd, F_SETFL, fl | O_NONBLOCK) == -1) {
        perror("fcntl");
        exit(1);
    }
}

VNSH_STATIC void set_close_exec(int fd)
{
    int fl = fcntl(fd, F_GETFD);
    if (fl == -1 || fcntl(fd, F_SETFD, fl | FD_CLOEXEC) == -1) {
        perror("fcntl");
        exit(1);
    }
}

/* The "%3d: " prefix of nodenum; returns its length. */
static int prefix_format(char *prefix, size_t size)
{
    return snprintf(prefix, size, "%3d: ", nodenum);
}

/* One line out with a single write: prefix (plen may be 0), the bytes, and
 * a newline when add_nl is set; put together in line_buf, which has room
 * for a prefix, buffer_size bytes and a newline.  -1 as local_write. */
static int line_write(int fd, const char *prefix, int plen, const char *line, size_t len,
                      int add_nl)
{
    if (plen == 0 && !add_nl)
        return local_write(fd, line, len);
    size_t total = (size_t)plen + len + (add_nl ? 1 : 0);
    memcpy(line_buf, prefix, plen);
    memcpy(line_buf + plen, line, len);
    if (add_nl)
        line_buf[total - 1] = '\n';
    return local_write(fd, line_buf, total);
}

/* Ends stream i: its socket is closed (never a local 0, 1 or 2), stream 0
 * detaches the forwarder, and the stream no longer has a local end. */
static void stream_end(int i)
{
    struct io_stream *s = &nio[i];
    if (s->fd > 2)
        close(s->fd);
    s->fd = -1;
    if (i == 0)
        input.out_fd = -1;
    if (s->out_fd > 2)
        close(s->out_fd);
    s->out_fd = -1;
}

/* Ends stream i because its local descriptor failed for good, so that the
 * remote process finds its output closed at its next write, as a local
 * program writing into a pipe without reader would: end of file first, then
 * a reset, which a peer that has seen end of file reports as EPIPE. */
static int stream_cut(int i)
{
    struct linger lg = {1, 0};
    shutdown(nio[i].fd, SHUT_WR);
    setsockopt(nio[i].fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    stream_end(i);
    return -1;
}

static int read_again(ssize_t n)
{
    return n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK);
}

/* Unbuffered mode: copy what one read gives, as it is. */
static int do_unbuff_io(int i)
{
    struct io_stream *s = &nio[i];
    ssize_t n = read(s->fd, s->buf, buffer_size);
    if (n > 0)
        return local_write(s->out_fd, s->buf, n) < 0 ? stream_cut(i) : 0;
    if (read_again(n))
        return 0;
    stream_broken |= n < 0 && i != 0;
    stream_end(i);
    return -1;
}

/* One read of stream i in line mode (more: only what has arrived already);
 * 0 to go on, -1 when the stream has ended, 1 when nothing more was there. */
static int line_buff_once(int i, int flags, int more)
{
    static char prefix[16];
    struct io_stream *s = &nio[i];
    int plen = prefix_format(prefix, sizeof prefix);
    if (!(flags & VNSH_PREFIX))
        plen = 0;

    ssize_t n = more ? recv(s->fd, s->buf + s->len, buffer_size - s->len, MSG_DONTWAIT)
                     : read(s->fd, s->buf + s->len, buffer_size - s->len);
    if (n <= 0) {
        if (read_again(n))
            return more ? 1 : 0;
        stream_broken |= n < 0 && i != 0;
        if (s->len > 0) {
            (void)line_write(s->out_fd, prefix, plen, s->buf, s->len, 1);
            s->len = 0;
        }
        stream_end(i);
        return -1;
    }

    char *start = s->buf;
    char *scan = s->buf + s->len;
    char *end = scan + n;
    char *nl;
    while (scan < end && (nl = (char *)memchr(scan, '\n', end - scan)) != NULL) {
        if (line_write(s->out_fd, prefix, plen, start, nl + 1 - start, 0) < 0)
            return stream_cut(i);
        start = scan = nl + 1;
    }
    s->len = (int)(end - start);
    if (start != s->buf && s->len > 0)
        memmove(s->buf, start, s->len);
    if (s->len == buffer_size) {
        if (line_write(s->out_fd, prefix, plen, s->buf, s->len, 1) < 0)
            return stream_cut(i);
        s->len = 0;
    }
    return 0;
}

/* Line mode: write every complete line with one write, prefix included;
 * hold the unfinished rest, and cut lines of buffer_size bytes or more.
 * What has already arrived is taken in the same pass (a few buffers'
 * worth, so that the other streams get their turn). */
static int do_line_buff_io(int i, int flags)
{
    int r = line_buff_once(i, flags, 0);
    for (int k = 0; r == 0 && k < 15; k++)
        r = line_buff_once(i, flags, 1);
    return r < 0 ? -1 : 0;
}

/* Detaches the standard-input socket after the sending side ended it. */
static void do_input_buffer_close1(int flags)
{
    static char prefix[16];
    close(input.out_fd);
    input.out_fd = -1;
    nio[0].fd = -1;
    if ((flags & VNSH_LINEBUF) && nio[0].len > 0) {
        /* The stream is over either way: a failure here changes nothing. */
        int fd = nio[0].out_fd;
        if (flags & VNSH_PREFIX) {
            int plen = prefix_format(prefix, sizeof prefix);
            if (local_write(fd, prefix, plen) == 0 && local_write(fd, nio[0].buf, nio[0].len) == 0)
                (void)local_write(fd, "\n", 1);
        } else {
            (void)local_write(fd, nio[0].buf, nio[0].len);
        }
        nio[0].len = 0;
    }
    input.cursor = NULL;
}

/* Reads local input into the forwarder.  At its end, *dec is 1 when that
 * also closed the standard-input socket (its count in active ends). */
static int do_input_buffer_read(int *dec)
{
    *dec = 0;
    ssize_t n = read(input.in_fd, input.base + input.len, buffer_size - input.len);
    if (n > 0) {
        input.len += n;
        return 0;
    }
    if (read_again(n))
        return 0;

    int fd = input.in_fd;
    close(fd);
    input.in_fd = -1;
    if (fd <= 2) {
        /* Keep the number taken, so that no socket accepted later becomes
         * a local 0, 1 or 2 (which are never closed as sockets). */
        int null = open("/dev/null", O_RDONLY);
        if (null >= 0 && null != fd)
            close(null);
    }
    if (input.out_fd != -1 && input.cursor == input.base + input.len) {
        close(input.out_fd);
        input.out_fd = -1;
        nio[0].fd = -1;
        *dec = 1;
    }
    return -1;
}

/* Offers the standard-input socket: refused when local input has ended and
 * nothing waits, since the remote process is then better off with EOF. */
static int do_input_buffer_add(int sock)
{
    if (!input.cursor || (input.in_fd == -1 && input.cursor == input.base + input.len))
        return -1;
    input.out_fd = sock;
    return 0;
}

/* Sends the waiting bytes.  A socket the remote side has closed ends in a
 * detachment, never in SIGPIPE. */
static int do_input_buffer_write(int flags)
{
    char *end = input.base + input.len;
    ssize_t n = send(input.out_fd, input.cursor, end - input.cursor, MSG_NOSIGNAL);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
        return 0;
    if (n <= 0) {
        do_input_buffer_close1(flags);
        return -1;
    }
    input.cursor += n;
    if (input.in_fd == -1 && input.cursor == end) {
        do_input_buffer_close1(flags);
        return -1;
    }
    int rest = (int)(end - input.cursor);
    memmove(input.base, input.cursor, rest);
    input.len = rest;
    input.cursor = input.base;
    return 0;
}

/* A connection with its complete header: take it as a stream, or close it.
 * Returns -1 when no more connections may be taken in this pass. */
static int stream_attach(int fd, const unsigned char *hdr, int pid, struct listen_counts *c)
{
    int32_t hpid, n;
    memcpy(&hpid, hdr, 4);
    memcpy(&n, hdr + 4, 4);
    if (hpid != pid) {
        close(fd);
        return 0;
    }
    if (c->accepts_left == 0) {
        close(fd);
        return -1;
    }
    c->accepts_left--;
    if (n < 0 || n > 2) {
        close(fd);
        return 0;
    }
    /* A valid stream number is one connection fewer to expect, even when
     * the stream already had its connection and this one is closed. */
    c->expected--;
    if (stream_taken[n]) {
        close(fd);
        return 0;
    }
    stream_taken[n] = 1;
    if (n == 0) {
        set_non_block(fd);
        if (do_input_buffer_add(fd) == 0) {
            nio[0].fd = fd;
            c->active++;
        } else {
            close(fd);
        }
    } else {
        nio[n].fd = fd;
        c->active++;
    }
    return 0;
}

/* Reads what is there of p's header without waiting: 1 when complete, 0
 * when more is to come, -1 when the peer went away (p is then closed). */
static int header_read(struct pending_conn *p)
{
    for (;;) {
        ssize_t n = recv(p->fd, p->hdr + p->got, HEADER_SIZE - p->got, MSG_DONTWAIT);
        if (n > 0) {
            p->got += (int)n;
            if (p->got == HEADER_SIZE)
                return 1;
            continue;
        }
        if (read_again(n))
            return 0;
        close(p->fd);
        p->fd = -1;
        return -1;
    }
}

static void pending_remove(int k)
{
    memmove(&pending[k], &pending[k + 1], (npending - k - 1) * sizeof pending[0]);
    npending--;
}

VNSH_STATIC int sock_find(const struct sockaddr_in *peer, const struct sockaddr_in *local,
                          struct inet_diag_msg *out)
{
    int nl;
    if (tcp_end_open(&nl) < 0)
        return -1;
    int r = tcp_end_find(nl, peer, local, out);
    if (nl >= 0)
        close(nl);
    return r;
}

/* The owner of the peer's end of an accepted connection: 1 with *uid when
 * the socket is found and still held by a process; 0 when there is no such
 * socket here; -1 when it cannot be told (the peer has closed its end
 * already, or the question failed). */
static int peer_owner(const struct sockaddr_in *peer, const struct sockaddr_in *local, uid_t *uid)
{
    struct inet_diag_msg m;
    int r = sock_find(peer, local, &m);
    if (r <= 0)
        return r;
    /* A socket no process holds any more reports no owner (root). */
    if (m.idiag_inode == 0)
        return -1;
    *uid = m.idiag_uid;
    return 1;
}

/* Whether addr (network order) is one of this machine's own addresses. */
static int address_is_local(in_addr_t addr)
{
    struct ifaddrs *list;
    if (getifaddrs(&list) < 0)
        return 1; /* cannot tell: take the careful side */
    int found = 0;
    for (struct ifaddrs *i = list; i && !found; i = i->ifa_next)
        found = i->ifa_addr && i->ifa_addr->sa_family == AF_INET &&
                ((const struct sockaddr_in *)i->ifa_addr)->sin_addr.s_addr == addr;
    freeifaddrs(list);
    return found;
}

/* Whether a connection may carry a stream, judged before a byte of it is
 * read: it must come from the target node's address or from loopback, and
 * a peer on this machine must be a socket of the listener's user or of
 * root. */
static int peer_trusted(int fd, const struct sockaddr_in *peer)
{
    in_addr_t a = peer->sin_addr.s_addr;
    int loopback = (ntohl(a) >> 24) == 127;
    if (peer->sin_family != AF_INET || (!loopback && (nodeaddr == 0 || a != nodeaddr)))
        return 0;
    struct sockaddr_in local;
    socklen_t len = sizeof local;
    if (getsockname(fd, (struct sockaddr *)&local, &len) < 0)
        return 0;
    uid_t uid;
    int r = peer_owner(peer, &local, &uid);
    if (r == 1)
        return uid == listener_uid || uid == 0;
    /* Not a socket of this machine: the node's own, from afar. */
    return r == 0 && !loopback && !address_is_local(a);
}

/* Takes every waiting connection.  A header that has not fully arrived is
 * read on later passes, so that a slow or silent peer holds up nothing. */
static void accept_connections(int *lsock, int pid, struct listen_counts *c)
{
    for (;;) {
        struct sockaddr_in addr;
        socklen_t alen = sizeof addr;
        int fd = accept(*lsock, (struct sockaddr *)&addr, &alen);
        if (fd < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                return;
            if (errno == ECONNABORTED)
                continue;
            close(*lsock);
            *lsock = -1;
            return;
        }
        if (alen != sizeof addr || !peer_trusted(fd, &addr)) {
            close(fd);
            continue;
        }
        struct pending_conn p;
        p.fd = fd;
        p.got = 0;
        int r = header_read(&p);
        if (r == 1) {
            if (stream_attach(fd, p.hdr, pid, c) < 0)
                return;
        } else if (r == 0) {
            if (npending == PENDING_MAX) {
                close(pending[0].fd);
                pending_remove(0);
            }
            pending[npending++] = p;
        }
    }
}

/* Goes on with the headers that were waiting, for those found readable
 * (polled: the descriptors and their results, as they were polled). */
static void pending_poll(int pid, struct listen_counts *c, const struct pollfd *polled, int n)
{
    for (int j = 0; j < n; j++) {
        if (!polled[j].revents)
            continue;
        int k = 0;
        while (k < npending && pending[k].fd != polled[j].fd)
            k++;
        if (k == npending)
            continue;
        int fd = pending[k].fd;
        int r = header_read(&pending[k]);
        if (r == 0)
            continue;
        unsigned char hdr[HEADER_SIZE];
        memcpy(hdr, pending[k].hdr, sizeof hdr);
        pending_remove(k);
        if (r == 1)
            stream_attach(fd, hdr, pid, c);
    }
}

/* Puts /dev/null on a local 0, 1 or 2 that the caller had closed, so that
 * no accepted socket takes its number; returns -1 when the descriptor was
 * closed. */
static int local_fd_reserve(int fd)
{
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
        return 0;
    int null = open("/dev/null", O_RDWR);
    if (null >= 0 && null != fd) {
        dup2(null, fd);
        close(null);
    }
    return -1;
}

/* Closes the descriptors from lo to hi, both included. */
static void close_span(unsigned lo, unsigned hi)
{
    if (lo > hi)
        return;
#ifdef SYS_close_range
    if (syscall(SYS_close_range, lo, hi, 0) == 0)
        return;
#endif
    DIR *d = opendir("/proc/self/fd");
    if (d) {
        int own = dirfd(d);
        struct dirent *e;
        while ((e = readdir(d)) != NULL) {
            char *end;
            unsigned long fd = strtoul(e->d_name, &end, 10);
            if (*end == 0 && e->d_name[0] != '.' && (int)fd != own && fd >= lo && fd <= hi)
                close((int)fd);
        }
        closedir(d);
        return;
    }
    long max = sysconf(_SC_OPEN_MAX);
    for (long fd = lo; fd <= (long)hi && fd < max; fd++)
        close((int)fd);
}

/* The listener keeps none of the caller's descriptors but 0, 1, 2 and its
 * listening socket: a pipe it held open would keep its reader from ever
 * seeing end of file. */
static void close_inherited(int lsock)
{
    if (lsock < 3) {
        close_span(3, ~0u);
        return;
    }
    close_span(3, (unsigned)lsock - 1);
    close_span((unsigned)lsock + 1, ~0u);
}

/* No handler of the caller's runs here.  Hangup ends the listener whatever
 * the caller chose, so that a failed placement can end it at once; an
 * interrupt from the terminal, which reaches the remote program too, does
 * not, so that the program's last words still arrive; and a local output
 * without reader is a failed write, not the end. */
static void listener_signals(void)
{
    for (int sig = 1; sig < NSIG; sig++) {
        struct sigaction sa;
        if (sig == SIGKILL || sig == SIGSTOP || sigaction(sig, NULL, &sa) < 0)
            continue;
        if (sa.sa_handler != SIG_DFL && sa.sa_handler != SIG_IGN)
            signal(sig, SIG_DFL);
    }
    signal(SIGHUP, SIG_DFL);
    signal(SIGINT, SIG_IGN);
    signal(SIGQUIT, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, NULL);
}

/* A descriptor polled in this pass that is still the one named fd, and
 * that poll found ready (or in error, which its read or write tells). */
static int polled_ready(const struct pollfd *p, int fd)
{
    return fd >= 0 && p->fd == fd && p->revents != 0;
}

enum { SLOT_LISTEN, SLOT_INPUT, SLOT_SEND, SLOT_STREAM, SLOT_PENDING = SLOT_STREAM + 3 };

/* The listener: forwards the remote streams to local 0, 1, 2 and local
 * input to the remote standard input, until every stream has ended. */
[[noreturn]] static void listener_run(int lsock, int pid, int flags)
{
    listener_signals();
    listener_uid = geteuid();
    /* A caller that had 0, 1 or 2 closed may have got the listening socket
     * there; it is no local stream, so it moves up and the number is
     * treated as closed. */
    if (lsock >= 0 && lsock <= 2) {
        int moved = fcntl(lsock, F_DUPFD_CLOEXEC, 3);
        close(lsock);
        lsock = moved;
    }
    int in_closed = local_fd_reserve(0);
    local_fd_reserve(1);
    local_fd_reserve(2);
    close_inherited(lsock);

    input.base = listener_alloc(buffer_size);
    input.in_fd = in_closed ? -1 : 0;
    input.len = 0;
    input.out_fd = -1;
    input.cursor = input.base;

    char *shared = NULL;
    if (!(flags & VNSH_LINEBUF))
        shared = listener_alloc(buffer_size);
    else
        line_buf = listener_alloc((size_t)buffer_size + 32);
    for (int i = 0; i < 3; i++) {
        nio[i].fd = -1;
        nio[i].out_fd = i;
        nio[i].len = 0;
        nio[i].buf = shared ? shared : listener_alloc(buffer_size);
        stream_taken[i] = 0;
    }
    stream_broken = 0;
    npending = 0;

    struct listen_counts c = {3, 3, 0};
    while (c.expected > 0 || c.active > 0) {
        struct pollfd pfd[SLOT_PENDING + PENDING_MAX];
        for (struct pollfd &p : pfd) {
            p.fd = -1;
            p.events = POLLIN;
            p.revents = 0;
        }
        pfd[SLOT_LISTEN].fd = lsock;
        if (input.in_fd != -1 && input.len < buffer_size)
            pfd[SLOT_INPUT].fd = input.in_fd;
        if (input.out_fd != -1 && input.cursor < input.base + input.len) {
            pfd[SLOT_SEND].fd = input.out_fd;
            pfd[SLOT_SEND].events = POLLOUT;
        }
        for (int i = 0; i < 3; i++)
            if (nio[i].fd != -1 && nio[i].out_fd != -1)
                pfd[SLOT_STREAM + i].fd = nio[i].fd;
        for (int k = 0; k < npending; k++)
            pfd[SLOT_PENDING + k].fd = pending[k].fd;

        int ready = poll(pfd, SLOT_PENDING + npending, quiet_ms);
        if (ready < 0)
            continue;
        if (ready == 0) {
            if (c.accepts_left != 0)
                c.expected -= c.accepts_left;
            else if (c.expected > 0)
                c.expected = 0; /* no place is left for what is still expected */
            continue;
        }

        pending_poll(pid, &c, pfd + SLOT_PENDING, npending);
        if (polled_ready(&pfd[SLOT_LISTEN], lsock))
            accept_connections(&lsock, pid, &c);
        if (polled_ready(&pfd[SLOT_INPUT], input.in_fd)) {
            int dec;
            if (do_input_buffer_read(&dec) < 0)
                c.active -= dec;
        }
        if (polled_ready(&pfd[SLOT_SEND], input.out_fd)) {
            if (do_input_buffer_write(flags) < 0)
                c.active--;
        }
        for (int i = 0; i < 3; i++) {
            if (!polled_ready(&pfd[SLOT_STREAM + i], nio[i].fd))
                continue;
            int r = (flags & VNSH_LINEBUF) ? do_line_buff_io(i, flags) : do_unbuff_io(i);
            if (r < 0)
                c.active--;
        }
    }
    /* Status 1 when output may have been lost on the way: a stream never
     * connected (given up after the quiet period, or its place taken), or
     * a connection of standard output or error failed before its end.  A
     * local output that failed is not counted: the remote program found
     * its output closed as a local one would.  _exit: the caller's stdio
     * buffers and exit handlers are not ours. */
    _exit(stream_broken || !stream_taken[0] || !stream_taken[1] || !stream_taken[2] ? 1 : 0);
}

VNSH_STATIC int spawn_listener(int lsock, int pid, int flags)
{
    /* Hangup stays blocked until the listener has made it end it: one sent
     * at once by a caller whose placement failed is not lost to a
     * disposition inherited from the caller. */
    sigset_t hup, old;
    sigemptyset(&hup);
    sigaddset(&hup, SIGHUP);
    sigprocmask(SIG_BLOCK, &hup, &old);
    pid_t child = fork();
    if (child == 0)
        listener_run(lsock, pid, flags);
    int err = errno;
    sigprocmask(SIG_SETMASK, &old, NULL);
    close(lsock);
    errno = err;
    return child < 0 ? -1 : (int)child;
}

VNSH_STATIC int setup_socket(struct sockaddr_in *addr)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0)
        return -1;
    memset(addr, 0, sizeof *addr);
    addr->sin_family = AF_INET;
    addr->sin_addr.s_addr = htonl(INADDR_ANY);
    addr->sin_port = 0;
    socklen_t len = sizeof *addr;
    if (bind(s, (struct sockaddr *)addr, len) < 0 || listen(s, 1024) < 0) {
        int err = errno;
        close(s);
        errno = err;
        return -1;
    }
    (void)getsockname(s, (struct sockaddr *)addr, &len);
    set_close_exec(s);
    set_non_block(s);
    return s;
}

VNSH_STATIC int setup_io(int *lsock, struct io_redirect io[3])
{
    struct sockaddr_in addr;
    *lsock = setup_socket(&addr);
    if (*lsock < 0)
        return -1;
    /* Cleared, so that no stack contents reach the library. */
    memset(io, 0, 3 * sizeof io[0]);
    for (int i = 0; i < 3; i++) {
        io[i].fd = i;
        io[i].type = IO_SOCKET;
        io[i].send_header = 1;
        io[i].d.addr.sin_family = AF_INET;
        io[i].d.addr.sin_addr.s_addr = 0;
        io[i].d.addr.sin_port = addr.sin_port;
    }
    return 0;
}

/* Ends a process that is of no use any more with SIGHUP and reaps it; errno
 * stays as it was unless kill or waitpid fail. */
static void process_hangup(int pid)
{
    int err = errno;
    if (kill(pid, SIGHUP) != 0)
        return;
    pid_t r;
    while ((r = waitpid(pid, NULL, 0)) < 0 && errno == EINTR) {
    }
    if (r == pid)
        errno = err;
}

/* Looks up the target node's address for the listener to check peers by. */
static int node_address_get(int node)
{
    struct sockaddr_in addr;
    int len = (int)sizeof addr;
    memset(&addr, 0, sizeof addr);
    if (vorn_nodeaddr(node, &addr, &len) < 0)
        return -1;
    nodeaddr = addr.sin_addr.s_addr;
    return 0;
}

typedef int (*exec_io_call)(int, struct io_redirect *, int, const char *, char *const[],
                            char *const[]);

/* vnsh_rexec and vnsh_execmove, which differ only in the library call. */
static int exec_forwarded(exec_io_call call, int node, const char *path, char *const argv[],
                          char *const envp[], int flags)
{
    if (vorn_currnode() == node)
        return execve(path, argv, envp);
    nodenum = node;
    if (node_address_get(node) < 0)
        return -1;
    struct io_redirect io[3];
    int lsock;
    if (setup_io(&lsock, io) < 0)
        return -1;
    int listener = spawn_listener(lsock, getpid(), flags);
    if (listener < 0)
        return -1;
    call(node, io, 3, path, argv, envp);
    process_hangup(listener);
    return -1;
}

extern "C" int vnsh_rexec(int node, const char *path, char *const argv[], char *const envp[],
                          int flags)
{
    return exec_forwarded(vorn_rexec_io, node, path, argv, envp, flags);
}

extern "C" int vnsh_execmove(int node, const char *path, char *const argv[], char *const envp[],
                             int flags)
{
    return exec_forwarded(vorn_execmove_io, node, path, argv, envp, flags);
}

extern "C" int _vnsh_move(int node, int flags, int migflags)
{
    if (vorn_currnode() == node)
        return 0;
    nodenum = node;
    if (node_address_get(node) < 0)
        return -1;
    struct io_redirect io[3];
    int lsock;
    if (setup_io(&lsock, io) < 0)
        return -1;
    int listener = spawn_listener(lsock, getpid(), flags);
    if (listener < 0)
        return -1;
    int r = _vorn_move_io(node, io, 3, migflags);
    if (r == -1)
        process_hangup(listener);
    return r;
}

extern "C" int _vnsh_rfork(int node, int flags, int migflags)
{
    if (vorn_currnode() == node)
        return fork();
    nodenum = node;
    if (node_address_get(node) < 0)
        return -1;
    struct io_redirect io[3];
    int lsock;
    if (setup_io(&lsock, io) < 0)
        return -1;
    int child = _vorn_rfork_io(node, io, 3, migflags);
    if (child <= 0) {
        /* Failed, or the child on the node, which has no use for it. */
        int err = errno;
        close(lsock);
        errno = err;
        return child < 0 ? -1 : 0;
    }
    int listener = spawn_listener(lsock, child, flags);
    if (listener < 0) {
        process_hangup(child);
        return -1;
    }
    return child;
}

/* vnsh_io.cc - run, move or fork a process onto a node with its standard
 * streams forwarded over TCP to a listener process on the calling node. */
#include <vorn/vnsh_io.h>
#include <vorn/vorn.h>

#include "vnsh_io_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

/* Seconds of silence after which streams that never connected are given up. */
#define QUIET_SECONDS 45
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

static struct io_stream nio[3];
static struct input_buffer input;
static struct pending_conn pending[PENDING_MAX];
static int npending;
/* Streams for which a connection has been taken (or, for 0, refused). */
static int stream_taken[3];

static void write_out(int fd, const void *buf, size_t len)
{
    /* Local writes are not checked: a failed or short write loses the rest
     * of that piece and forwarding goes on. */
    ssize_t n = write(fd, buf, len);
    (void)n;
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
 * a newline when add_nl is set. */
static void line_write(int fd, const char *prefix, int plen, const char *line, size_t len,
                       int add_nl)
{
    if (plen == 0 && !add_nl) {
        write_out(fd, line, len);
        return;
    }
    size_t total = (size_t)plen + len + (add_nl ? 1 : 0);
    char *tmp = listener_alloc(total);
    memcpy(tmp, prefix, plen);
    memcpy(tmp + plen, line, len);
    if (add_nl)
        tmp[total - 1] = '\n';
    write_out(fd, tmp, total);
    free(tmp);
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

static int read_again(ssize_t n)
{
    return n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK);
}

/* Unbuffered mode: copy what one read gives, as it is. */
static int do_unbuff_io(int i)
{
    struct io_stream *s = &nio[i];
    ssize_t n = read(s->fd, s->buf, buffer_size);
    if (n > 0) {
        write_out(s->out_fd, s->buf, n);
        return 0;
    }
    if (read_again(n))
        return 0;
    stream_end(i);
    return -1;
}

/* Line mode: write every complete line with one write, prefix included;
 * hold the unfinished rest, and cut lines of buffer_size bytes or more. */
static int do_line_buff_io(int i, int flags)
{
    static char prefix[16];
    struct io_stream *s = &nio[i];
    int plen = prefix_format(prefix, sizeof prefix);
    if (!(flags & VNSH_PREFIX))
        plen = 0;

    ssize_t n = read(s->fd, s->buf + s->len, buffer_size - s->len);
    if (n <= 0) {
        if (read_again(n))
            return 0;
        if (s->len > 0) {
            line_write(s->out_fd, prefix, plen, s->buf, s->len, 1);
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
        line_write(s->out_fd, prefix, plen, start, nl + 1 - start, 0);
        start = scan = nl + 1;
    }
    s->len = (int)(end - start);
    if (start != s->buf && s->len > 0)
        memmove(s->buf, start, s->len);
    if (s->len == buffer_size) {
        line_write(s->out_fd, prefix, plen, s->buf, s->len, 1);
        s->len = 0;
    }
    return 0;
}

/* Detaches the standard-input socket after the sending side ended it. */
static void do_input_buffer_close1(int flags)
{
    static char prefix[16];
    close(input.out_fd);
    input.out_fd = -1;
    nio[0].fd = -1;
    if ((flags & VNSH_LINEBUF) && nio[0].len > 0) {
        if (flags & VNSH_PREFIX) {
            int plen = prefix_format(prefix, sizeof prefix);
            write_out(nio[0].out_fd, prefix, plen);
            write_out(nio[0].out_fd, nio[0].buf, nio[0].len);
            write_out(nio[0].out_fd, "\n", 1);
        } else {
            write_out(nio[0].out_fd, nio[0].buf, nio[0].len);
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

/* Takes every waiting connection.  A header that has not fully arrived is
 * read on later passes, so that a slow or silent peer holds up nothing. */
static void accept_connections(int *lsock, int pid, struct listen_counts *c, fd_set *rd)
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
        if (fd >= FD_SETSIZE) {
            close(fd);
            continue;
        }
        /* The number may have been in this pass's ready set under an
         * earlier owner. */
        FD_CLR(fd, rd);
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

/* Goes on with the headers that were waiting, for those that are readable. */
static void pending_poll(int pid, struct listen_counts *c, fd_set *rd)
{
    int k = 0;
    while (k < npending) {
        struct pending_conn *p = &pending[k];
        if (!FD_ISSET(p->fd, rd)) {
            k++;
            continue;
        }
        int fd = p->fd;
        int r = header_read(p);
        if (r == 0) {
            k++;
            continue;
        }
        unsigned char hdr[HEADER_SIZE];
        memcpy(hdr, p->hdr, sizeof hdr);
        pending_remove(k);
        if (r == 1) {
            FD_CLR(fd, rd);
            stream_attach(fd, hdr, pid, c);
        }
    }
}

static void fd_watch(int fd, fd_set *set, int *maxfd)
{
    if (set)
        FD_SET(fd, set);
    if (fd > *maxfd)
        *maxfd = fd;
}

/* Puts /dev/null on a local 0, 1 or 2 that the caller had closed, so that
 * select never sees a closed descriptor and no accepted socket takes its
 * number; returns -1 when the descriptor was closed. */
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

/* The listener: forwards the remote streams to local 0, 1, 2 and local
 * input to the remote standard input, until every stream has ended. */
[[noreturn]] static void listener_run(int lsock, int pid, int flags)
{
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

    input.base = listener_alloc(buffer_size);
    input.in_fd = in_closed ? -1 : 0;
    input.len = 0;
    input.out_fd = -1;
    input.cursor = input.base;

    char *shared = NULL;
    if (!(flags & VNSH_LINEBUF))
        shared = listener_alloc(buffer_size);
    for (int i = 0; i < 3; i++) {
        nio[i].fd = -1;
        nio[i].out_fd = i;
        nio[i].len = 0;
        nio[i].buf = shared ? shared : listener_alloc(buffer_size);
        stream_taken[i] = 0;
    }
    npending = 0;

    struct listen_counts c = {3, 3, 0};
    int maxfd = -1;
    if (lsock >= FD_SETSIZE) {
        close(lsock);
        lsock = -1;
    }

    while (c.expected > 0 || c.active > 0) {
        fd_set rd, wr;
        FD_ZERO(&rd);
        FD_ZERO(&wr);
        if (lsock != -1)
            fd_watch(lsock, &rd, &maxfd);
        if (input.in_fd != -1 && input.len < buffer_size)
            fd_watch(input.in_fd, &rd, &maxfd);
        if (input.out_fd != -1)
            fd_watch(input.out_fd, input.cursor < input.base + input.len ? &wr : NULL, &maxfd);
        for (int i = 0; i < 3; i++)
            if (nio[i].fd != -1 && nio[i].out_fd != -1)
                fd_watch(nio[i].fd, &rd, &maxfd);
        for (int k = 0; k < npending; k++)
            fd_watch(pending[k].fd, &rd, &maxfd);

        struct timeval tv = {QUIET_SECONDS, 0};
        int ready = select(maxfd + 1, &rd, &wr, NULL, &tv);
        if (ready < 0)
            continue;
        if (ready == 0) {
            if (c.accepts_left != 0)
                c.expected -= c.accepts_left;
            else if (c.expected > 0)
                c.expected = 0; /* no place is left for what is still expected */
            continue;
        }

        if (lsock != -1 && FD_ISSET(lsock, &rd))
            accept_connections(&lsock, pid, &c, &rd);
        pending_poll(pid, &c, &rd);
        if (input.in_fd != -1 && FD_ISSET(input.in_fd, &rd)) {
            int dec;
            if (do_input_buffer_read(&dec) < 0)
                c.active -= dec;
        }
        if (input.out_fd != -1 && FD_ISSET(input.out_fd, &wr)) {
            if (do_input_buffer_write(flags) < 0)
                c.active--;
        }
        for (int i = 0; i < 3; i++) {
            if (nio[i].fd == -1 || !FD_ISSET(nio[i].fd, &rd))
                continue;
            int r = (flags & VNSH_LINEBUF) ? do_line_buff_io(i, flags) : do_unbuff_io(i);
            if (r < 0)
                c.active--;
        }
    }
    /* _exit: the caller's stdio buffers and exit handlers are not ours. */
    _exit(0);
}

VNSH_STATIC int spawn_listener(int lsock, int pid, int flags)
{
    pid_t child = fork();
    if (child == 0)
        listener_run(lsock, pid, flags);
    int err = errno;
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

typedef int (*exec_io_call)(int, struct io_redirect *, int, const char *, char *const[],
                            char *const[]);

/* vnsh_rexec and vnsh_execmove, which differ only in the library call. */
static int exec_forwarded(exec_io_call call, int node, const char *path, char *const argv[],
                          char *const envp[], int flags)
{
    if (vorn_currnode() == node)
        return execve(path, argv, envp);
    nodenum = node;
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

/* ssh_mux.cc - the client side of OpenSSH's multiplexing protocol, as
 * much as a session needs: the greeting, a new session whose standard
 * streams are passed to the master as descriptors, and the exit message.
 * Every message is a length and a body; numbers are 32 bits, big-endian;
 * strings a length and their bytes. */
#include "ssh_mux.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#define MUX_MSG_HELLO 0x00000001u
#define MUX_C_NEW_SESSION 0x10000002u
#define MUX_S_OK 0x80000001u
#define MUX_S_PERMISSION_DENIED 0x80000002u
#define MUX_S_FAILURE 0x80000003u
#define MUX_S_EXIT_MESSAGE 0x80000004u
#define MUX_S_SESSION_OPENED 0x80000006u
#define MUX_VERSION 4u
#define MUX_MSG_MAX (256 * 1024)
#define MUX_WAIT_MS 30000

/* A message being built. */
struct msg {
    char *p;
    size_t len, cap;
};

static int put(struct msg *m, const void *data, size_t len)
{
    if (m->len + len > m->cap) {
        size_t cap = m->cap ? m->cap : 256;
        while (cap < m->len + len)
            cap *= 2;
        char *n = (char *)realloc(m->p, cap);
        if (!n)
            return -1;
        m->p = n;
        m->cap = cap;
    }
    memcpy(m->p + m->len, data, len);
    m->len += len;
    return 0;
}

static int put_u32(struct msg *m, uint32_t v)
{
    v = htonl(v);
    return put(m, &v, 4);
}

static int put_str(struct msg *m, const char *s)
{
    size_t len = strlen(s);
    return put_u32(m, (uint32_t)len) < 0 ? -1 : put(m, s, len);
}

static int write_all(int fd, const char *p, size_t len)
{
    while (len > 0) {
        ssize_t n = send(fd, p, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        p += n;
        len -= (size_t)n;
    }
    return 0;
}

/* Sends the message, its length first, and frees it. */
static int send_msg(int fd, struct msg *m)
{
    uint32_t len = htonl((uint32_t)m->len);
    int rc = (!m->p && m->len) || write_all(fd, (const char *)&len, 4) < 0 ||
                     write_all(fd, m->p, m->len) < 0
                 ? -1
                 : 0;
    free(m->p);
    m->p = NULL;
    m->len = m->cap = 0;
    return rc;
}

static int read_all(int fd, void *buf, size_t len)
{
    char *p = (char *)buf;
    while (len > 0) {
        ssize_t n = read(fd, p, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EPIPE;
            return -1;
        }
        p += n;
        len -= (size_t)n;
    }
    return 0;
}

/* Reads one message: its type, and its body after the type (at most
 * size bytes kept in body, *len the body's whole length). */
static int recv_msg(int fd, uint32_t *type, char *body, size_t size, size_t *len)
{
    uint32_t n, t;
    if (read_all(fd, &n, 4) < 0)
        return -1;
    n = ntohl(n);
    if (n < 4 || n > MUX_MSG_MAX || read_all(fd, &t, 4) < 0) {
        if (n < 4 || n > MUX_MSG_MAX)
            errno = EPROTO;
        return -1;
    }
    *type = ntohl(t);
    n -= 4;
    *len = n;
    char sink[512];
    for (size_t got = 0; got < n;) {
        size_t want = n - got;
        char *to = got < size ? body + got : sink;
        if (got < size && want > size - got)
            want = size - got;
        if (got >= size && want > sizeof sink)
            want = sizeof sink;
        if (read_all(fd, to, want) < 0)
            return -1;
        got += want;
    }
    return 0;
}

static uint32_t get_u32(const char *p)
{
    uint32_t v;
    memcpy(&v, p, 4);
    return ntohl(v);
}

/* Passes one descriptor, with a byte for the message to carry. */
static int send_fd(int sock, int fd)
{
    char byte = 0;
    struct iovec iov = {&byte, 1};
    union {
        struct cmsghdr h;
        char buf[CMSG_SPACE(sizeof(int))];
    } u;
    memset(&u, 0, sizeof u);
    struct msghdr mh;
    memset(&mh, 0, sizeof mh);
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    mh.msg_control = u.buf;
    mh.msg_controllen = sizeof u.buf;
    struct cmsghdr *c = CMSG_FIRSTHDR(&mh);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(c), &fd, sizeof fd);
    for (;;) {
        ssize_t n = sendmsg(sock, &mh, MSG_NOSIGNAL);
        if (n == 1)
            return 0;
        if (n < 0 && errno != EINTR)
            return -1;
    }
}

int mux_open(const char *ctl)
{
    struct sockaddr_un a;
    memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    if (strlen(ctl) >= sizeof a.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    strcpy(a.sun_path, ctl);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    struct msg m = {NULL, 0, 0};
    uint32_t type;
    char body[64];
    size_t len;
    /* Every wait on the master is bounded: one that has stopped, or that
     * accepts and never answers, does not hold a placement up. */
    struct timeval limit = {MUX_WAIT_MS / 1000, 0};
    if (connect(fd, (struct sockaddr *)&a, sizeof a) < 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) < 0 ||
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) < 0) {
        close(fd);
        errno = EHOSTDOWN;
        return -1;
    }
    /* We greet, then the master does. */
    if (put_u32(&m, MUX_MSG_HELLO) < 0 || put_u32(&m, MUX_VERSION) < 0 || send_msg(fd, &m) < 0 ||
        recv_msg(fd, &type, body, sizeof body, &len) < 0 || type != MUX_MSG_HELLO || len < 4) {
        free(m.p);
        close(fd);
        errno = EHOSTDOWN;
        return -1;
    }
    return fd;
}

int mux_session(int fd, const char *command, int in, int out, int err)
{
    static uint32_t next_id;
    uint32_t id = ++next_id;
    struct msg m = {NULL, 0, 0};
    int ok = put_u32(&m, MUX_C_NEW_SESSION) == 0 && put_u32(&m, id) == 0 &&
             put_str(&m, "") == 0 &&          /* reserved */
             put_u32(&m, 0) == 0 &&           /* no terminal */
             put_u32(&m, 0) == 0 &&           /* no X11 forwarding */
             put_u32(&m, 0) == 0 &&           /* no agent forwarding */
             put_u32(&m, 0) == 0 &&           /* not a subsystem */
             put_u32(&m, 0xffffffffu) == 0 && /* no escape character */
             put_str(&m, "") == 0 &&          /* terminal type */
             put_str(&m, command) == 0;
    if (!ok || send_msg(fd, &m) < 0) {
        free(m.p);
        return -1;
    }
    if (send_fd(fd, in) < 0 || send_fd(fd, out) < 0 || send_fd(fd, err) < 0)
        return -1;
    uint32_t type;
    char body[512];
    size_t len;
    for (;;) {
        if (recv_msg(fd, &type, body, sizeof body, &len) < 0) {
            errno = EHOSTDOWN;
            return -1;
        }
        if (type == MUX_S_SESSION_OPENED && len >= 4 && get_u32(body) == id)
            return 0;
        if (type == MUX_S_PERMISSION_DENIED || type == MUX_S_FAILURE) {
            /* The host refused the channel: sshd's MaxSessions, most
             * likely. */
            size_t n = len < sizeof body ? len : sizeof body;
            errno = n >= 8 && memmem(body + 8, n - 8, "refused by peer", 15) ? EAGAIN : EHOSTDOWN;
            return -1;
        }
    }
}

int mux_wait(int fd)
{
    uint32_t type;
    char body[64];
    size_t len;
    if (recv_msg(fd, &type, body, sizeof body, &len) < 0) {
        errno = EPIPE;
        return -1;
    }
    if (type == MUX_S_EXIT_MESSAGE && len >= 8)
        return (int)(get_u32(body + 4) & 0xff);
    return -2;
}

int mux_run(const char *ctl, const char *command)
{
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    int fd = null < 0 ? -1 : mux_open(ctl);
    int status = -1;
    if (fd >= 0 && mux_session(fd, command, null, null, null) == 0) {
        while ((status = mux_wait(fd)) == -2) {
        }
    }
    if (fd >= 0)
        close(fd);
    if (null >= 0)
        close(null);
    return status;
}

// util.cc - the small helpers of vnsh: growable buffers, whole writes, its
// own descriptors kept above the caller's, and the clock.
#include "vnsh.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

[[noreturn]] void die(const char *what)
{
    fprintf(stderr, "%s: %s: %s\n", progname, what, strerror(errno));
    exit(1);
}

int64_t now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

void buf_add(struct buf *b, const void *data, size_t len)
{
    if (len == 0)
        return;
    if (b->len + len > b->cap) {
        size_t cap = b->cap ? b->cap : 256;
        while (cap < b->len + len)
            cap *= 2;
        char *p = static_cast<char *>(realloc(b->p, cap));
        if (!p) {
            errno = ENOMEM;
            die("out of memory");
        }
        b->p = p;
        b->cap = cap;
    }
    memcpy(b->p + b->len, data, len);
    b->len += len;
}

void buf_free(struct buf *b)
{
    free(b->p);
    b->p = nullptr;
    b->len = b->cap = 0;
}

// Writes all of data, waiting while the descriptor is full; -1 with errno
// when the write fails for good.
int write_all(int fd, const char *data, size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN) {
                struct pollfd p = {fd, POLLOUT, 0};
                poll(&p, 1, -1);
                continue;
            }
            return -1;
        }
        data += n;
        len -= (size_t)n;
    }
    return 0;
}

// Descriptors of our own: close-on-exec, and above every descriptor that
// was open before the runs began, so that a child closes them all at once.
// Where the limit leaves no room above (a caller's descriptor sits high),
// the descriptor stays where it is: the program never gets it (it closes
// on exec), and the listener closes what it inherited.
int own_fd(int fd)
{
    if (fd >= 0 && fd < own_fd_floor) {
        int high = fcntl(fd, F_DUPFD_CLOEXEC, own_fd_floor);
        if (high >= 0) {
            close(fd);
            return high;
        }
    }
    return fd;
}

int own_pipe(int p[2], int nonblock_end)
{
    if (pipe2(p, O_CLOEXEC) < 0)
        return -1;
    p[0] = own_fd(p[0]);
    p[1] = own_fd(p[1]);
    if (nonblock_end >= 0)
        fcntl(p[nonblock_end], F_SETFL, fcntl(p[nonblock_end], F_GETFL) | O_NONBLOCK);
    return 0;
}

void close_fd(int *fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

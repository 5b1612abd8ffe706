/* fileio.cc - whole reads and writes of the cluster's state files, walks of
 * its directories, and tables replaced whole: written aside, synced,
 * renamed over the old. */
#include "cluster.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

ssize_t pread_full(int fd, void *buf, size_t len, off_t off)
{
    size_t done = 0;
    while (done < len) {
        ssize_t n = pread(fd, (char *)buf + done, len - done, off + (off_t)done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            break;
        done += (size_t)n;
    }
    return (ssize_t)done;
}

/* Writes all of buf at off, or at the file position (or the end, for
 * O_APPEND) when off is negative; a short write is completed. */
int write_full(int fd, const void *buf, size_t len, off_t off)
{
    size_t done = 0;
    while (done < len) {
        const char *p = (const char *)buf + done;
        ssize_t n =
            off < 0 ? write(fd, p, len - done) : pwrite(fd, p, len - done, off + (off_t)done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        done += (size_t)n;
    }
    return 0;
}

int close_keep_errno(int fd)
{
    int saved = errno;
    if (fd >= 0)
        close(fd);
    errno = saved;
    return -1;
}

int dir_each(int dirfd, int (*fn)(void *ctx, const char *name), void *ctx)
{
    int dfd = fcntl(dirfd, F_DUPFD_CLOEXEC, 0);
    DIR *d = dfd < 0 ? NULL : fdopendir(dfd);
    if (!d)
        return close_keep_errno(dfd);
    rewinddir(d);
    struct dirent *e;
    int rc = 0;
    while (rc == 0 && (e = readdir(d)) != NULL)
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            rc = fn(ctx, e->d_name);
    closedir(d);
    return rc;
}

/* Keeps a descriptor opened with O_NONBLOCK (so that a FIFO in a file's
 * place cannot hang the open) only if it is a regular file, and clears
 * O_NONBLOCK again; anything else is damage (EIO) and is closed. */
int fd_regular(int fd)
{
    struct stat st;
    if (fstat(fd, &st) < 0)
        return close_keep_errno(fd);
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        errno = EIO;
        return -1;
    }
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) < 0)
        return close_keep_errno(fd);
    return fd;
}

/* Reads a whole small state file into a malloc block. */
int file_load(int fd, char **buf, size_t *len)
{
    struct stat st;
    *buf = NULL;
    *len = 0;
    if (fstat(fd, &st) < 0)
        return -1;
    if (st.st_size > (off_t)(64 << 20)) {
        errno = EIO;
        return -1;
    }
    size_t size = (size_t)st.st_size;
    char *b = (char *)malloc(size + 1);
    if (!b)
        return -1;
    ssize_t r = pread_full(fd, b, size, 0);
    if (r < 0) {
        int saved = errno;
        free(b);
        errno = saved;
        return -1;
    }
    b[r] = 0;
    *buf = b;
    *len = (size_t)r;
    return 0;
}

int table_load(struct cluster *cl, const char *name, char **buf, size_t *len)
{
    int fd = state_open(cl, name, O_RDONLY);
    if (fd < 0)
        return -1;
    int rc = file_load(fd, buf, len);
    close_keep_errno(fd);
    return rc;
}

static void aside_name(char *out, size_t size, const char *name)
{
    snprintf(out, size, "%s.new", name);
}

int table_prepare(struct cluster *cl, const char *name, const void *buf, size_t len)
{
    char aside[512];
    aside_name(aside, sizeof aside, name);
    /* Only a holder of the table's lock writes here: what lies here was
     * left by a writer that was killed. */
    if (unlinkat(cl->dirfd, aside, 0) < 0 && errno != ENOENT)
        return -1;
    int fd = openat(cl->dirfd, aside, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    if (fchmod(fd, 0644) < 0 || write_full(fd, buf, len, 0) < 0 || fsync(fd) < 0) {
        int saved = errno;
        close(fd);
        unlinkat(cl->dirfd, aside, 0);
        errno = saved;
        return -1;
    }
    if (close(fd) < 0) {
        int saved = errno;
        unlinkat(cl->dirfd, aside, 0);
        errno = saved;
        return -1;
    }
    return 0;
}

/* The rename is made durable with the directory: the tables replaced
 * whole (faults, library list) are kept by a power loss.  Once renamed
 * the new table is in force, whatever the sync says. */
int table_commit(struct cluster *cl, const char *name)
{
    char aside[512];
    aside_name(aside, sizeof aside, name);
    if (renameat(cl->dirfd, aside, cl->dirfd, name) < 0) {
        int saved = errno;
        unlinkat(cl->dirfd, aside, 0);
        errno = saved;
        return -1;
    }
    fsync(cl->dirfd);
    return 0;
}

int table_replace(struct cluster *cl, const char *name, const void *buf, size_t len)
{
    if (table_prepare(cl, name, buf, len) < 0)
        return -1;
    return table_commit(cl, name);
}

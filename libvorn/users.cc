/* users.cc - the directories of a shared cluster's other users under
 * users/: one per user, owned by them and written by no one else, found
 * by its canonical name, or another of theirs where someone planted it. */
#include "cluster.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#define ALT_HEX 16

int user_dir_name(const char *name, uid_t *uid)
{
    size_t digits = strspn(name, "0123456789");
    if (digits == 0 || digits > 10 || (name[0] == '0' && digits > 1))
        return 0;
    const char *rest = name + digits;
    if (*rest && (rest[0] != '.' || strlen(rest + 1) != ALT_HEX ||
                  strspn(rest + 1, "0123456789abcdef") != ALT_HEX))
        return 0;
    unsigned long long v = strtoull(name, NULL, 10);
    if (v >= (unsigned long long)(uid_t)-1)
        return 0;
    *uid = (uid_t)v;
    return 1;
}

/* A directory of uid's at name, or -1. */
static int dir_of(int users_fd, const char *name, uid_t uid)
{
    struct stat st;
    int fd = openat(users_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (fstat(fd, &st) < 0 || st.st_uid != uid || (st.st_mode & 022)) {
        close(fd);
        errno = EACCES;
        return -1;
    }
    return fd;
}

/* The search of user_dir_open for the first of uid's other directories. */
struct other_dir {
    int users_fd;
    uid_t uid;
    const char *canon;
    size_t clen;
    char best[64];
};

static int other_dir_consider(void *ctx, const char *name)
{
    struct other_dir *o = (struct other_dir *)ctx;
    uid_t u;
    if (strncmp(name, o->canon, o->clen) != 0 || name[o->clen] != '.' || !user_dir_name(name, &u) ||
        u != o->uid)
        return 0;
    if (o->best[0] && strcmp(name, o->best) >= 0)
        return 0;
    int f = dir_of(o->users_fd, name, o->uid);
    if (f < 0)
        return 0;
    close(f);
    memcpy(o->best, name, strlen(name) + 1); /* canonical: short */
    return 0;
}

int user_dir_open(struct cluster *cl, uid_t uid, char *name, size_t size)
{
    char canon[16];
    snprintf(canon, sizeof canon, "%u", (unsigned)uid);
    int fd = dir_of(cl->users_fd, canon, uid);
    if (fd >= 0 || errno == ENOENT) {
        if (fd >= 0)
            snprintf(name, size, "%s", canon);
        return fd;
    }
    /* The canonical name is someone else's: the first of uid's own others
     * in name order, so that every reader agrees on one. */
    struct other_dir o = {cl->users_fd, uid, canon, strlen(canon), ""};
    if (dir_each(cl->users_fd, other_dir_consider, &o) < 0)
        return -1;
    const char *best = o.best;
    if (!best[0]) {
        errno = ENOENT;
        return -1;
    }
    fd = dir_of(cl->users_fd, best, uid);
    if (fd >= 0)
        snprintf(name, size, "%s", best);
    return fd;
}

/* A file of ours in our directory, created when missing. */
static int own_file(int dirfd, const char *name, int flags, mode_t mode)
{
    int fd = openat(dirfd, name, flags | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, mode);
    if (fd < 0)
        return -1;
    return fd_regular(fd);
}

int cluster_user_files(struct cluster *cl)
{
    if (cl->lock_rw || cl->users_fd < 0 || cl->ujournal_fd >= 0)
        return 0;
    int ufd = -1, lfd = -1, jfd = -1, pfd = -1;
    for (int tries = 0; ufd < 0 && tries < 8; tries++) {
        ufd = user_dir_open(cl, cl->uid, cl->udir, sizeof cl->udir);
        if (ufd >= 0 || (errno != ENOENT && errno != EACCES))
            break;
        /* Ours to make: the canonical name, or where someone else holds
         * it, a name of our own that no one can guess. */
        char name[64];
        snprintf(name, sizeof name, "%u", (unsigned)cl->uid);
        if (errno == EACCES || faccessat(cl->users_fd, name, F_OK, AT_SYMLINK_NOFOLLOW) == 0) {
            unsigned char r[ALT_HEX / 2];
            if (getrandom(r, sizeof r, 0) != (ssize_t)sizeof r)
                return -1;
            size_t len = strlen(name);
            name[len++] = '.';
            for (size_t i = 0; i < sizeof r; i++)
                len += (size_t)snprintf(name + len, sizeof name - len, "%02x", r[i]);
        }
        if (mkdirat(cl->users_fd, name, 0755) < 0 && errno != EEXIST)
            return -1;
    }
    if (ufd < 0)
        return -1;
    if (fchmod(ufd, 0755) < 0)
        goto fail;
    /* The lock is ours alone: no one else may even read it, so no one
     * else can hold it. */
    lfd = own_file(ufd, FILE_LOCK, O_RDWR, 0600);
    if (lfd < 0 || fchmod(lfd, 0600) < 0 || lock_file_size(lfd) < 0)
        goto fail;
    jfd = own_file(ufd, FILE_JOURNAL, O_WRONLY | O_APPEND, 0644);
    if (jfd < 0)
        goto fail;
    if (mkdirat(ufd, FILE_PLACED, 0755) < 0 && errno != EEXIST)
        goto fail;
    pfd = openat(ufd, FILE_PLACED, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (pfd < 0)
        goto fail;
    cl->udir_fd = ufd;
    cl->ulock_fd = lfd;
    cl->ujournal_fd = jfd;
    cl->uplaced_fd = pfd;
    return 0;
fail : {
    int saved = errno;
    int fds[] = {ufd, lfd, jfd, pfd};
    for (size_t i = 0; i < sizeof fds / sizeof fds[0]; i++)
        if (fds[i] >= 0)
            close(fds[i]);
    errno = saved;
}
    return -1;
}

/* lock.cc - the cluster's locks (record locks on a lock file): shared for
 * reading, exclusive for changes, every wait bounded. */
#include "cluster.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static pid_t last_holder;

pid_t lock_holder(void)
{
    return last_holder;
}

/* Takes a lock of type (F_RDLCK, F_WRLCK) on all of fd, waiting at most
 * LOCK_WAIT_MS: ENOLCK after that, with the holder kept for lock_holder.
 * The wait polls, at first often, then every 2 ms: a blocking wait cannot
 * be bounded without a signal, which is the program's, not ours. */
int lock_take(int fd, short type)
{
    struct flock fl;
    long slept_us = 0, step_us = 20;
    for (;;) {
        memset(&fl, 0, sizeof fl);
        fl.l_type = type;
        fl.l_whence = SEEK_SET;
        if (fcntl(fd, F_SETLK, &fl) == 0) {
            last_holder = 0;
            return 0;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EACCES) {
            /* A lock file we may only read: the cluster is not ours to change. */
            if (errno == EBADF)
                errno = EACCES;
            return -1;
        }
        if (slept_us >= (long)LOCK_WAIT_MS * 1000) {
            memset(&fl, 0, sizeof fl);
            fl.l_type = type;
            fl.l_whence = SEEK_SET;
            last_holder = fcntl(fd, F_GETLK, &fl) == 0 && fl.l_type != F_UNLCK ? fl.l_pid : 0;
            errno = ENOLCK;
            return -1;
        }
        struct timespec ts = {0, step_us * 1000};
        nanosleep(&ts, NULL);
        slept_us += step_us;
        if (step_us < 2000)
            step_us *= 2;
    }
}

void lock_drop(int fd)
{
    int saved = errno;
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = F_UNLCK;
    fl.l_whence = SEEK_SET;
    fcntl(fd, F_SETLK, &fl);
    errno = saved;
}

/* The marker of a change under way opens the lock file: its first word
 * is nonzero only then (see journal.cc). */
static int marker_set(int fd)
{
    uint32_t magic = 0;
    return pread(fd, &magic, sizeof magic, 0) == (ssize_t)sizeof magic && magic != 0;
}

int cluster_lock(struct cluster *cl, int exclusive)
{
    if (cl->lock_fd < 0) {
        if (exclusive) {
            errno = EACCES;
            return -1;
        }
        return 0; /* another user's private cluster: read without lock */
    }
    if (exclusive && !cl->lock_rw) {
        errno = EACCES;
        return -1;
    }
    if (lock_take(cl->lock_fd, exclusive ? F_WRLCK : F_RDLCK) < 0)
        return -1;
    cl->locked = exclusive ? 2 : 1;
    if (cl->lock_rw && marker_set(cl->lock_fd)) {
        /* A change was cut short: who may finish it does so before
         * reading, then holds the lock it asked for. */
        if (!exclusive) {
            lock_drop(cl->lock_fd);
            if (lock_take(cl->lock_fd, F_WRLCK) < 0) {
                cl->locked = 0;
                return -1;
            }
        }
        int rc = journal_recover(cl, cl->lock_fd, cl->journal_fd);
        if ((!exclusive && lock_take(cl->lock_fd, F_RDLCK) < 0) || rc < 0) {
            cluster_unlock(cl);
            return -1;
        }
    }
    return 0;
}

void cluster_unlock(struct cluster *cl)
{
    if (cl->lock_fd >= 0 && cl->locked)
        lock_drop(cl->lock_fd);
    cl->locked = 0;
}

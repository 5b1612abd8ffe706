/* lock.cc - the cluster's lock: shared for reading, exclusive for changes. */
#include "cluster.h"

#include <vorn/vorn.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

int cluster_lock(struct cluster *cl, int exclusive)
{
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = exclusive ? F_WRLCK : F_RDLCK;
    fl.l_whence = SEEK_SET;
    while (fcntl(cl->lock_fd, F_SETLKW, &fl) < 0) {
        if (errno == EINTR)
            continue;
        /* A lock file we may only read: the cluster is not ours to change. */
        if (errno == EBADF)
            errno = EACCES;
        return -1;
    }
    return 0;
}

void cluster_unlock(struct cluster *cl)
{
    int saved = errno;
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = F_UNLCK;
    fl.l_whence = SEEK_SET;
    fcntl(cl->lock_fd, F_SETLK, &fl);
    errno = saved;
}

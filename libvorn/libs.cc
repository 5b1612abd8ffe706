/* libs.cc - the library list: NUL-terminated names in insertion order. */
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

int libs_load(struct cluster *cl, char **buf, size_t *len)
{
    if (file_load(cl->libs_fd, buf, len) < 0)
        return -1;
    /* Names as vorn_libadd stores them: each non-empty and terminated.  An
     * empty name inside would end the list early for every reader. */
    int sound = *len == 0 || (*buf)[*len - 1] == 0;
    for (size_t i = 0; sound && i < *len; i++)
        sound = (*buf)[i] != 0 || (i > 0 && (*buf)[i - 1] != 0);
    if (!sound) {
        free(*buf);
        *buf = NULL;
        errno = EIO;
        return -1;
    }
    return 0;
}

int libs_store(struct cluster *cl, const char *buf, size_t len)
{
    return file_store(cl->libs_fd, buf, len);
}

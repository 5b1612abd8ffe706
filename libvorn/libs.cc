/* libs.cc - the library list: NUL-terminated names in insertion order. */
#include "cluster.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int libs_load(struct cluster *cl, char **buf, size_t *len)
{
    if (table_load(cl, FILE_LIBS, buf, len) < 0)
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

/* Replaces the list, the call's line journaled before the new list takes
 * its place; caller holds the change's lock. */
int libs_store(struct cluster *cl, const char *buf, size_t len, const struct cl_line *line)
{
    struct cl_redo redo;
    memset(&redo, 0, sizeof redo);
    redo.kind = REDO_TABLE;
    redo.text = FILE_LIBS;
    if (table_prepare(cl, FILE_LIBS, buf, len) < 0)
        return -1;
    if (change_line(cl, line, 0, &redo) < 0) {
        int saved = errno;
        unlinkat(cl->dirfd, FILE_LIBS ".new", 0);
        errno = saved;
        return -1;
    }
    if (table_commit(cl, FILE_LIBS) < 0) {
        change_undo(cl);
        return -1;
    }
    change_done(cl);
    return 0;
}

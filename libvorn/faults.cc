/* faults.cc - the table of armed faults. */
#include "cluster.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

int fault_list(struct cluster *cl, struct cl_fault **list)
{
    char *buf;
    size_t len;
    if (table_load(cl, FILE_FAULTS, &buf, &len) < 0)
        return -1;
    struct cl_fault *f = (struct cl_fault *)buf;
    size_t n = len / sizeof *f;
    int sound = len % sizeof *f == 0;
    /* Each record as vornemu fail writes it: a known function, a node or
     * any, an error number it would take, a count of uses or forever. */
    for (size_t i = 0; sound && i < n; i++)
        sound = memchr(f[i].fn, 0, sizeof f[i].fn) && function_known(f[i].fn) &&
                (f[i].node == FAULT_ANY_NODE || f[i].node >= -1) && f[i].err > 0 &&
                f[i].err <= 4095 && (f[i].count > 0 || f[i].count == FAULT_FOREVER);
    if (!sound) {
        free(buf);
        errno = EIO;
        return -1;
    }
    *list = f;
    return (int)n;
}

/* Looks for an armed fault for this call; when one matches, uses it up
 * once and returns its error number, else 0. */
int fault_take(struct cluster *cl, const char *fn, int node, int has_node)
{
    struct stat st;
    /* The common case, no fault armed, costs one stat. */
    if (fstatat(cl->dirfd, FILE_FAULTS, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
        st.st_size == 0)
        return 0;
    /* Who may not write the cluster still meets its faults, but does not
     * use them up. */
    int exclusive = cl->lock_rw;
    if (cluster_lock(cl, exclusive) < 0)
        return errno;
    struct cl_fault *f = NULL;
    int n = fault_list(cl, &f), err = 0;
    if (n < 0)
        err = EIO; /* a damaged fault file fails every call */
    for (int i = 0; i < n; i++) {
        if (strncmp(f[i].fn, fn, FAULT_FN_MAX) != 0)
            continue;
        if (f[i].node != FAULT_ANY_NODE && (!has_node || f[i].node != node))
            continue;
        err = f[i].err;
        if (f[i].count > 0 && exclusive) {
            if (--f[i].count == 0) {
                memmove(&f[i], &f[i + 1], (size_t)(n - i - 1) * sizeof *f);
                n--;
            }
            /* A use that cannot be recorded fails the call instead. */
            if (table_replace(cl, FILE_FAULTS, f, (size_t)n * sizeof *f) < 0)
                err = errno;
        }
        break;
    }
    free(f);
    cluster_unlock(cl);
    return err;
}

int fault_add(struct cluster *cl, const struct cl_fault *add)
{
    if (cluster_lock(cl, 1) < 0)
        return -1;
    struct cl_fault *f = NULL;
    int rc = -1, n = fault_list(cl, &f);
    if (n >= 0) {
        struct cl_fault *g = (struct cl_fault *)realloc(f, (size_t)(n + 1) * sizeof *f);
        if (g) {
            f = g;
            f[n] = *add;
            rc = table_replace(cl, FILE_FAULTS, f, (size_t)(n + 1) * sizeof *f);
        }
    }
    int saved = errno;
    free(f);
    cluster_unlock(cl);
    errno = saved;
    return rc;
}

int fault_clear(struct cluster *cl)
{
    if (cluster_lock(cl, 1) < 0)
        return -1;
    int rc = table_replace(cl, FILE_FAULTS, "", 0);
    cluster_unlock(cl);
    return rc;
}

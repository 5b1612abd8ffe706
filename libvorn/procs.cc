/* procs.cc - the table of placed processes: loading, registering a
 * placement, and the live processes of a node. */
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

int procs_load(struct cluster *cl, struct cl_proc **list)
{
    char *buf;
    size_t len;
    if (file_load(cl->procs_fd, &buf, &len) < 0)
        return -1;
    struct cl_proc *p = (struct cl_proc *)buf;
    size_t n = len / sizeof *p;
    int sound = len % sizeof *p == 0;
    /* A process id, and the master or one of the cluster's nodes. */
    for (size_t i = 0; sound && i < n; i++)
        sound = p[i].pid > 0 && p[i].node >= -1 && (int64_t)p[i].node < (int64_t)cl->hdr.nnodes;
    if (!sound) {
        free(buf);
        errno = EIO;
        return -1;
    }
    *list = p;
    return (int)n;
}

int procs_register(struct cluster *cl, int pid, int node, int need_up)
{
    uint64_t start;
    if (proc_stat(pid, NULL, &start) < 0)
        return -1;
    if (cluster_lock(cl, 1) < 0)
        return -1;
    struct cl_proc *list = NULL;
    int rc = -1;
    int n;
    if (need_up && node >= 0) {
        /* Checked again under the lock: a reboot or halt between the
         * placement's first check and now has killed the node's processes
         * already and must not miss this one. */
        struct cl_node rec;
        if (node_read(cl, node, &rec) < 0)
            goto out;
        if (node_effective_state(&rec, now_us()) != VORN_NODE_UP) {
            errno = EHOSTDOWN;
            goto out;
        }
    }
    n = procs_load(cl, &list);
    if (n < 0)
        goto out;
    {
        /* Drop entries of processes that are gone (or whose pid was
         * reused), then set ours. */
        int k = 0;
        for (int i = 0; i < n; i++) {
            uint64_t s;
            if (list[i].pid == pid)
                continue;
            if (proc_stat(list[i].pid, NULL, &s) < 0 || s != list[i].start)
                continue;
            list[k++] = list[i];
        }
        struct cl_proc *grown = (struct cl_proc *)realloc(list, (size_t)(k + 1) * sizeof *list);
        if (!grown)
            goto out;
        list = grown;
        list[k].pid = pid;
        list[k].node = node;
        list[k].start = start;
        k++;
        rc = file_store(cl->procs_fd, list, (size_t)k * sizeof *list);
    }
out : {
    int saved = errno;
    free(list);
    cluster_unlock(cl);
    errno = saved;
}
    return rc;
}

/* Every live process on a slave node (placed there or descended from one
 * placed there), as (pid, node) records; node is one slave node or
 * PROCS_ALL for all of them.  Caller holds the lock. */
int procs_placed(struct cluster *cl, int node, struct cl_proc **out)
{
    struct cl_proc *list = NULL, *res = NULL;
    int count = 0, cap = 0, any = 0, rc = -1;
    *out = NULL;
    int n = procs_load(cl, &list);
    if (n < 0)
        return -1;
    /* Scan the machine's processes only when a live placement exists. */
    for (int i = 0; i < n && !any; i++) {
        uint64_t s;
        if ((node == PROCS_ALL ? list[i].node >= 0 : list[i].node == node) &&
            proc_stat(list[i].pid, NULL, &s) == 0 && s == list[i].start)
            any = 1;
    }
    if (any) {
        DIR *d = opendir("/proc");
        struct dirent *e;
        if (!d)
            goto out;
        while ((e = readdir(d)) != NULL) {
            char *end;
            long pid = strtol(e->d_name, &end, 10);
            if (*end || pid <= 0)
                continue;
            int on = procs_node_of(list, n, (int)pid);
            if (node == PROCS_ALL ? on < 0 : on != node)
                continue;
            if (count == cap) {
                cap = cap ? cap * 2 : 16;
                struct cl_proc *g = (struct cl_proc *)realloc(res, (size_t)cap * sizeof *res);
                if (!g) {
                    closedir(d);
                    errno = ENOMEM;
                    goto out;
                }
                res = g;
            }
            res[count].pid = (int32_t)pid;
            res[count].node = on;
            res[count].start = 0;
            count++;
        }
        closedir(d);
    }
    *out = res;
    res = NULL;
    rc = count;
out:
    free(res);
    free(list);
    return rc;
}

/* The node of process pid as recorded now; INT32_MIN with errno set when
 * it is unknown (ESRCH) or the table cannot be read. */
int proc_node(struct cluster *cl, int pid)
{
    struct cl_proc *list = NULL;
    if (cluster_lock(cl, 0) < 0)
        return INT32_MIN;
    int n = procs_load(cl, &list);
    cluster_unlock(cl);
    if (n < 0)
        return INT32_MIN;
    int node = procs_node_of(list, n, pid);
    free(list);
    if (node == INT32_MIN)
        errno = ESRCH;
    return node;
}

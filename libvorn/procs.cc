/* procs.cc - the table of placed processes: loading, registering a
 * placement, and the live processes of a node. */
#include "cluster.h"

#include <vorn/vorn.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

/* One table of placed processes, each record checked as procs_register
 * writes it. */
static int procs_load_file(struct cluster *cl, const char *name, struct cl_proc **list,
                           uid_t *owner)
{
    char *buf;
    size_t len;
    struct stat st;
    int fd = state_open(cl, name, O_RDONLY);
    if (fd < 0)
        return -1;
    if (fstat(fd, &st) < 0 || file_load(fd, &buf, &len) < 0)
        return close_keep_errno(fd);
    close(fd);
    if (owner)
        *owner = st.st_uid;
    struct cl_proc *p = (struct cl_proc *)buf;
    size_t n = len / sizeof *p;
    int sound = len % sizeof *p == 0 && n < INT32_MAX / 2;
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

/* The table this process writes its placements to. */
static const char *procs_table(struct cluster *cl, char *buf, size_t size)
{
    if (cl->lock_rw)
        return FILE_PROCS;
    snprintf(buf, size, USERS_DIR "/" FILE_PROCS ".%u", (unsigned)cl->uid);
    return buf;
}

/* Adds the records of another user's table that are believed: those of
 * live processes that the file's owner could signal, a real or saved user
 * id of theirs.  A table of theirs that is unsound is theirs alone to
 * lose: it is not believed at all. */
static int procs_add_user(struct cluster *cl, const char *name, struct cl_proc **all, int *n)
{
    struct cl_proc *list = NULL;
    uid_t owner;
    char path[300];
    snprintf(path, sizeof path, USERS_DIR "/%s", name);
    int k = procs_load_file(cl, path, &list, &owner);
    if (k < 0)
        return 0;
    char want[64];
    snprintf(want, sizeof want, FILE_PROCS ".%u", (unsigned)owner);
    if (strcmp(want, name) != 0)
        k = 0; /* a table in another user's name */
    struct cl_proc *g = (struct cl_proc *)realloc(*all, (size_t)(*n + k + 1) * sizeof **all);
    if (!g) {
        free(list);
        return -1;
    }
    *all = g;
    for (int i = 0; i < k; i++) {
        uid_t ruid, suid;
        uint64_t start;
        if (proc_stat(list[i].pid, NULL, &start) < 0 || start != list[i].start ||
            proc_uids(list[i].pid, &ruid, &suid) < 0 || (ruid != owner && suid != owner))
            continue;
        (*all)[(*n)++] = list[i];
    }
    free(list);
    return 0;
}

int procs_load(struct cluster *cl, struct cl_proc **list)
{
    int n = procs_load_file(cl, FILE_PROCS, list, NULL);
    if (n < 0 || cl->users_fd < 0)
        return n;
    int dfd = dup(cl->users_fd);
    DIR *d = dfd < 0 ? NULL : fdopendir(dfd);
    if (!d) {
        close_keep_errno(dfd);
        free(*list);
        return -1;
    }
    rewinddir(d);
    struct dirent *e;
    int rc = 0;
    while (rc == 0 && (e = readdir(d)) != NULL) {
        const char *p = e->d_name;
        if (strncmp(p, FILE_PROCS ".", sizeof FILE_PROCS) != 0 || !p[sizeof FILE_PROCS] ||
            strspn(p + sizeof FILE_PROCS, "0123456789") != strlen(p + sizeof FILE_PROCS))
            continue;
        rc = procs_add_user(cl, p, list, &n);
    }
    closedir(d);
    if (rc < 0) {
        free(*list);
        return -1;
    }
    return n;
}

int procs_register_many(struct cluster *cl, const struct cl_proc *add, int nadd, int need_up,
                        const struct cl_line *line)
{
    char tbuf[64];
    const char *table;
    struct cl_proc *list = NULL;
    int rc = -1, n, k = 0;
    if (change_lock(cl) < 0)
        return -1;
    table = procs_table(cl, tbuf, sizeof tbuf);
    for (int j = 0; need_up && j < nadd; j++) {
        /* Checked again under the lock: a reboot or halt between the
         * placement's first check and now has killed the node's processes
         * already and must not miss these. */
        struct cl_node rec;
        if (add[j].node < 0)
            continue;
        if (node_read(cl, add[j].node, &rec) < 0)
            goto out;
        if (node_effective_state(&rec, now_us()) != VORN_NODE_UP) {
            errno = EHOSTDOWN;
            goto out;
        }
    }
    n = procs_load_file(cl, table, &list, NULL);
    if (n < 0)
        goto out;
    {
        /* Drop entries of processes that are gone (or whose pid was
         * reused) and those of the processes placed now, then add these. */
        for (int i = 0; i < n; i++) {
            uint64_t s;
            int again = 0;
            for (int j = 0; j < nadd && !again; j++)
                again = list[i].pid == add[j].pid;
            if (again || proc_stat(list[i].pid, NULL, &s) < 0 || s != list[i].start)
                continue;
            list[k++] = list[i];
        }
        struct cl_proc *grown =
            (struct cl_proc *)realloc(list, (size_t)(k + nadd + 1) * sizeof *list);
        if (!grown)
            goto out;
        list = grown;
        for (int j = 0; j < nadd; j++) {
            list[k] = add[j];
            if (proc_stat(add[j].pid, NULL, &list[k].start) < 0)
                goto out;
            k++;
        }
        if (table_prepare(cl, table, list, (size_t)k * sizeof *list) < 0)
            goto out;
        struct cl_redo redo;
        memset(&redo, 0, sizeof redo);
        redo.kind = REDO_TABLE;
        redo.text = table;
        if (line && change_line(cl, line, 0, &redo) < 0) {
            int saved = errno;
            char aside[128];
            snprintf(aside, sizeof aside, "%s.new", table);
            unlinkat(cl->dirfd, aside, 0);
            errno = saved;
            goto out;
        }
        rc = table_commit(cl, table);
        if (line) {
            if (rc < 0)
                change_undo(cl);
            else
                change_done(cl);
        }
    }
out : {
    int saved = errno;
    free(list);
    change_unlock(cl);
    errno = saved;
}
    return rc;
}

int procs_register(struct cluster *cl, int pid, int node, int need_up, const struct cl_line *line)
{
    struct cl_proc one = {pid, node, 0};
    return procs_register_many(cl, &one, 1, need_up, line);
}

void procs_kill(const struct cl_proc *list, int n)
{
    for (int i = 0; i < n; i++) {
        uint64_t start;
        if (list[i].pid != getpid() && proc_stat(list[i].pid, NULL, &start) == 0 &&
            start == list[i].start)
            kill(list[i].pid, SIGKILL);
    }
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
            uint64_t start = 0;
            proc_stat((int)pid, NULL, &start);
            res[count].pid = (int32_t)pid;
            res[count].node = on;
            res[count].start = start;
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

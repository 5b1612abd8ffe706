/* procfs.cc - what /proc says of a process: parent, start time, and the
 * node it inherits from its nearest placed ancestor. */
#include "cluster.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* Parent and start time (clock ticks after boot) of a process. */
int proc_stat(int pid, int *ppid, uint64_t *start)
{
    char path[64], buf[1024];
    if (pid <= 0) {
        errno = ESRCH;
        return -1;
    }
    /* The thread group leader's task entry says the same; unlike
     * /proc/PID/stat, a user-mode emulator (qemu-i386) passes it through
     * unaltered when PID is its own, instead of making one up. */
    snprintf(path, sizeof path, "/proc/%d/task/%d/stat", pid, pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        errno = ESRCH;
        return -1;
    }
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) {
        errno = ESRCH;
        return -1;
    }
    buf[n] = 0;
    char *p = strrchr(buf, ')');
    if (!p) {
        errno = ESRCH;
        return -1;
    }
    p++;
    /* Fields after the command: state(3) ppid(4) ... starttime(22). */
    int field = 2;
    char *tok = p;
    unsigned long long st = 0;
    long pp = 0;
    while (*tok) {
        while (*tok == ' ')
            tok++;
        if (!*tok)
            break;
        field++;
        if (field == 4)
            pp = strtol(tok, NULL, 10);
        if (field == 22) {
            st = strtoull(tok, NULL, 10);
            break;
        }
        while (*tok && *tok != ' ')
            tok++;
    }
    if (field != 22) {
        errno = ESRCH;
        return -1;
    }
    if (ppid)
        *ppid = (int)pp;
    if (start)
        *start = st;
    return 0;
}

static int procs_find(const struct cl_proc *list, int n, int pid, uint64_t start)
{
    for (int i = 0; i < n; i++)
        if (list[i].pid == pid && list[i].start == start)
            return list[i].node;
    return INT32_MIN;
}

/* The node of a process: its own placement, else its nearest placed
 * ancestor's, else the master. */
int procs_node_of(const struct cl_proc *list, int n, int pid)
{
    int p = pid;
    for (int depth = 0; depth < 4096; depth++) {
        int ppid;
        uint64_t start;
        if (proc_stat(p, &ppid, &start) < 0) {
            if (p == pid)
                return INT32_MIN;
            return -1;
        }
        int node = procs_find(list, n, p, start);
        if (node != INT32_MIN)
            return node;
        if (ppid <= 1)
            return -1;
        p = ppid;
    }
    return -1;
}

int proc_uids(int pid, uid_t *ruid, uid_t *suid)
{
    char path[64], buf[4096];
    snprintf(path, sizeof path, "/proc/%d/status", pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        errno = ESRCH;
        return -1;
    }
    ssize_t n = pread_full(fd, buf, sizeof buf - 1, 0);
    close(fd);
    if (n <= 0) {
        errno = ESRCH;
        return -1;
    }
    buf[n] = 0;
    /* "Uid:" real, effective, saved, file system. */
    const char *p = strstr(buf, "\nUid:");
    unsigned long r, e, s;
    if (!p || sscanf(p + 5, "%lu %lu %lu", &r, &e, &s) != 3) {
        errno = ESRCH;
        return -1;
    }
    *ruid = (uid_t)r;
    *suid = (uid_t)s;
    return 0;
}

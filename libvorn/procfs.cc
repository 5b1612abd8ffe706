/* procfs.cc - what /proc says of a process: parent, start time and
 * credentials. */
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

int proc_creds(int pid, struct proc_creds *c)
{
    char path[64], buf[8192];
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
    /* "Uid:" real, effective, saved, file system; "Gid:" likewise. */
    const char *u = strstr(buf, "\nUid:"), *g = strstr(buf, "\nGid:");
    const char *gs = strstr(buf, "\nGroups:");
    unsigned long r, e, s, gr, ge;
    if (!u || !g || sscanf(u + 5, "%lu %lu %lu", &r, &e, &s) != 3 ||
        sscanf(g + 5, "%lu %lu", &gr, &ge) != 2) {
        errno = ESRCH;
        return -1;
    }
    c->ruid = (uid_t)r;
    c->suid = (uid_t)s;
    c->egid = (gid_t)ge;
    c->ngroups = 0;
    for (const char *p = gs ? gs + 8 : NULL; p && *p && *p != '\n';) {
        char *end;
        unsigned long v = strtoul(p, &end, 10);
        if (end == p)
            break;
        if (c->ngroups < (int)(sizeof c->groups / sizeof c->groups[0]))
            c->groups[c->ngroups++] = (gid_t)v;
        p = end;
        while (*p == ' ' || *p == '\t')
            p++;
    }
    return 0;
}

int proc_uids(int pid, uid_t *ruid, uid_t *suid)
{
    struct proc_creds c;
    if (proc_creds(pid, &c) < 0)
        return -1;
    *ruid = c.ruid;
    *suid = c.suid;
    return 0;
}

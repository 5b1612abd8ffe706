/* place_local.cc - the placement engine of the emulated cluster's nodes:
 * a program exec'd here, a process placing itself, a forked child placed
 * (nodes that are hosts have the ssh engine, ssh_place.cc). */
#include "place.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

/* A regular file we may execute (EACCES for anything else). */
static int runnable(const char *path)
{
    struct stat sb;
    if (stat(path, &sb) < 0)
        return -1;
    if (!S_ISREG(sb.st_mode)) {
        errno = EACCES;
        return -1;
    }
    return faccessat(AT_FDCWD, path, X_OK, AT_EACCESS);
}

/* Whether a program file is one that execve runs: an ELF image, or a
 * "#!" script whose interpreter is there to run (ENOENT, EACCES, ENOEXEC
 * otherwise).  A file we cannot read gets the benefit of doubt. */
static int program_check(const char *path)
{
    char head[256];
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return 0;
    ssize_t n;
    do {
        n = pread(fd, head, sizeof head - 1, 0);
    } while (n < 0 && errno == EINTR);
    close(fd);
    if (n >= 4 && memcmp(head, "\177ELF", 4) == 0)
        return 0;
    if (n < 2 || head[0] != '#' || head[1] != '!') {
        errno = ENOEXEC;
        return -1;
    }
    head[n] = 0;
    char *interp = head + 2;
    while (*interp == ' ' || *interp == '\t')
        interp++;
    size_t len = strcspn(interp, " \t\n");
    if (len == 0 || interp[len] == 0) {
        /* No interpreter, or a first line longer than we read. */
        if (len == 0)
            errno = ENOEXEC;
        return len == 0 ? -1 : 0;
    }
    interp[len] = 0;
    return runnable(interp);
}

/* Whether the arguments and environment fit what execve takes (E2BIG):
 * no string over 32 pages, and all of them with their pointers within a
 * quarter of the stack limit (at least 32 pages, at most 6 MiB). */
static int args_check(const char *path, char *const argv[], char *const envp[])
{
    size_t page = (size_t)sysconf(_SC_PAGESIZE), strmax = 32 * page;
    size_t limit = 6u << 20, total = strlen(path) + 1;
    struct rlimit rl;
    if (getrlimit(RLIMIT_STACK, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY &&
        rl.rlim_cur / 4 < limit)
        limit = (size_t)(rl.rlim_cur / 4);
    if (limit < strmax)
        limit = strmax;
    char *const *lists[2] = {argv, envp};
    for (int k = 0; k < 2; k++) {
        for (char *const *a = lists[k]; a && *a; a++) {
            size_t l = strlen(*a) + 1;
            if (l > strmax || l + sizeof *a > limit - total) {
                errno = E2BIG;
                return -1;
            }
            total += l + sizeof *a;
        }
    }
    return 0;
}

int local_place_exec(struct cluster *cl, const struct cl_line *line, int node,
                     const struct io_redirect *io, int count, const char *path, char *const argv[],
                     char *const envp[])
{
    struct io_state st;
    int prev;
    /* Refuse what execve would refuse before touching anything, so the
     * journal line that precedes the exec tells the truth. */
    if (runnable(path) < 0 || program_check(path) < 0 || args_check(path, argv, envp) < 0)
        return -1;
    if (io_open_all(io, count, &st, node) < 0)
        return -1;
    if (cluster_raise(cl, st.min_fd) < 0) {
        io_release(&st);
        return -1;
    }
    prev = proc_node(cl, getpid());
    /* The call's line goes with the record, before the exec. */
    if (procs_register(cl, getpid(), node, 1, line) < 0) {
        io_release(&st);
        return -1;
    }
    if (io_install(io, &st) == 0) {
        io_wait_all(io, count);
        execve(path, argv, envp);
        io_restore(&st);
    }
    /* Still here: the caller is as it was.  An install or exec that failed
     * after the checks above gets a second line with the error. */
    io_release(&st);
    if (prev != INT32_MIN) {
        int err = errno;
        procs_register(cl, getpid(), prev, 0, NULL);
        errno = err;
    }
    return -1;
}

/* In the placed process: apply the records and record its node, with the
 * call's line; deferred, the caller records it. */
int place_self(struct cluster *cl, int node, struct io_redirect *io, int count,
               const struct cl_line *line, int defer)
{
    struct io_state st;
    if (io_open_all(io, count, &st, node) < 0)
        return -1;
    /* The cluster's own descriptors go above every record's, so that no
     * record replaces one and the cluster serves the calls that follow. */
    if (cluster_raise(cl, st.min_fd) < 0) {
        io_release(&st);
        return -1;
    }
    int prev = defer ? INT32_MIN : proc_node(cl, getpid());
    if (!defer && procs_register(cl, getpid(), node, 1, line) < 0) {
        io_release(&st);
        return -1;
    }
    if (io_install(io, &st) < 0) {
        int err = errno;
        io_release(&st);
        if (prev != INT32_MIN)
            procs_register(cl, getpid(), prev, 0, NULL);
        errno = err;
        return -1;
    }
    io_release(&st);
    return 0;
}

/* Forks a child that places itself on node; returns its pid once it has,
 * or -1 with the child's errno (the child is reaped).  With go, the child
 * applies its records and waits for a byte on the pipe whose writing end
 * *go gets: the caller records it (the end closed without a byte ends the
 * child). */
int fork_placed(struct cluster *cl, int node, struct io_redirect *io, int count,
                const struct cl_line *line, pid_t *child, int *go)
{
    int p[2], g[2] = {-1, -1};
    if (pipe2(p, O_CLOEXEC) < 0)
        return -1;
    if (go && pipe2(g, O_CLOEXEC) < 0) {
        int saved = errno;
        close(p[0]);
        close(p[1]);
        errno = saved;
        return -1;
    }
    pid_t pid = fork();
    if (pid < 0) {
        int saved = errno;
        close(p[0]);
        close(p[1]);
        if (go) {
            close(g[0]);
            close(g[1]);
        }
        errno = saved;
        return -1;
    }
    if (pid == 0) {
        close(p[0]);
        if (go)
            close(g[1]);
        /* Keep the pipes clear of the descriptors the records set. */
        int min_fd = 0;
        for (int i = 0; io && i < count; i++)
            if (io[i].fd >= min_fd)
                min_fd = io[i].fd + 1;
        int *ends[] = {&p[1], &g[0]};
        for (int e = 0; e < 2; e++) {
            if (*ends[e] < 0 || *ends[e] >= min_fd)
                continue;
            int high = fcntl(*ends[e], F_DUPFD_CLOEXEC, min_fd);
            if (high < 0)
                _exit(127);
            close(*ends[e]);
            *ends[e] = high;
        }
        int err = place_self(cl, node, io, count, line, go != NULL) < 0 ? errno : 0;
        write_full(p[1], &err, sizeof err, -1);
        close(p[1]);
        if (err)
            _exit(127);
        if (go) {
            char b;
            ssize_t n;
            do {
                n = read(g[0], &b, 1);
            } while (n < 0 && errno == EINTR);
            if (n != 1)
                _exit(127);
            close(g[0]);
        }
        io_wait_all(io, count);
        *child = 0;
        return 0;
    }
    close(p[1]);
    if (go)
        close(g[0]);
    int err = 0;
    ssize_t n;
    do {
        n = read(p[0], &err, sizeof err);
    } while (n < 0 && errno == EINTR);
    close(p[0]);
    if (n != (ssize_t)sizeof err || err) {
        if (go)
            close(g[1]);
        while (waitpid(pid, NULL, 0) < 0 && errno == EINTR) {
        }
        errno = n == (ssize_t)sizeof err ? err : ECHILD;
        return -1;
    }
    if (go)
        *go = g[1];
    *child = pid;
    return 0;
}

/* place.cc - process placement with I/O redirection records (rexec,
 * execmove, move, rfork, vrfork) and the cluster-change notifier. */
#include "hosts.h"
#include "place.h"

#include <vorn/vorn.h>

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

static int call_fault(struct cluster *cl, const char *fn, int node, int has_node, const char *arg)
{
    int err = fault_take(cl, fn, node, has_node);
    if (err) {
        struct cl_line line = {fn, node, has_node, arg};
        journal_append(cl, &line, err);
        errno = err;
        return -1;
    }
    return 0;
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
    struct stat sb;
    if (stat(interp, &sb) < 0)
        return -1;
    if (!S_ISREG(sb.st_mode)) {
        errno = EACCES;
        return -1;
    }
    return faccessat(AT_FDCWD, interp, X_OK, AT_EACCESS);
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

static int place_check(struct cluster *cl, int node)
{
    return node_access(cl, node, 1, 1);
}

/* Moving or forking a running process onto a node needs the kernel
 * facility, which a node that is a host does not have. */
static int move_check(struct cluster *cl, int node)
{
    if (place_check(cl, node) < 0)
        return -1;
    if (node >= 0 && hosts_cluster(cl)) {
        errno = ENOSYS;
        return -1;
    }
    return 0;
}

extern "C" {

static int place_exec(const char *fn, int node, struct io_redirect *io, int count, const char *path,
                      char *const argv[], char *const envp[])
{
    struct cluster *cl = cluster_get();
    struct cl_line line = {fn, node, 1, path};
    struct io_state st;
    int prev;
    if (!cl)
        return -1;
    if (call_fault(cl, fn, node, 1, path) < 0)
        return -1;
    if (place_check(cl, node) < 0)
        goto fail;
    if (!path || !argv) {
        errno = EFAULT;
        goto fail;
    }
    if (io_check(io, count) < 0)
        goto fail;
    if (node >= 0 && hosts_cluster(cl)) {
        /* Returns only when the placement failed. */
        ssh_place_exec(cl, &line, node, io, count, path, argv, envp ? envp : environ);
        goto fail;
    }
    {
        /* Refuse what execve would refuse before touching anything, so
         * the journal line that precedes the exec tells the truth. */
        struct stat sb;
        if (stat(path, &sb) < 0)
            goto fail;
        if (!S_ISREG(sb.st_mode)) {
            errno = EACCES;
            goto fail;
        }
        if (faccessat(AT_FDCWD, path, X_OK, AT_EACCESS) < 0)
            goto fail;
        if (program_check(path) < 0 || args_check(path, argv, envp ? envp : environ) < 0)
            goto fail;
    }
    if (io_open_all(io, count, &st, node) < 0)
        goto fail;
    if (cluster_raise(cl, st.min_fd) < 0) {
        io_release(&st);
        goto fail;
    }
    prev = proc_node(cl, getpid());
    /* The call's line goes with the record, before the exec. */
    if (procs_register(cl, getpid(), node, 1, &line) < 0) {
        io_release(&st);
        goto fail;
    }
    if (io_install(io, &st) == 0) {
        io_wait_all(io, count);
        execve(path, argv, envp ? envp : environ);
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
fail:
    journal_append(cl, &line, errno);
    return -1;
}

int vorn_rexec_io(int node, struct io_redirect *io, int iolen, const char *path, char *const argv[],
                  char *const envp[])
{
    return place_exec("vorn_rexec_io", node, io, iolen, path, argv, envp);
}

int vorn_execmove_io(int node, struct io_redirect *io, int iolen, const char *path,
                     char *const argv[], char *const envp[])
{
    return place_exec("vorn_execmove_io", node, io, iolen, path, argv, envp);
}

/* In the placed process: apply the records and record its node, with the
 * call's line; deferred, the caller records it. */
static int place_self(struct cluster *cl, int node, struct io_redirect *io, int count,
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

int _vorn_move_io(int node, struct io_redirect *io, int iolen, int flags)
{
    static const char fn[] = "_vorn_move_io";
    char arg[16];
    snprintf(arg, sizeof arg, "%d", flags);
    struct cluster *cl = cluster_get();
    int rc = -1;
    if (!cl)
        return -1;
    if (call_fault(cl, fn, node, 1, arg) < 0)
        return -1;
    struct cl_line line = {fn, node, 1, arg};
    if (move_check(cl, node) == 0 && io_check(io, iolen) == 0)
        rc = place_self(cl, node, io, iolen, &line, 0);
    if (rc < 0)
        journal_append(cl, &line, errno);
    else
        io_wait_all(io, iolen);
    return rc;
}

/* Forks a child that places itself on node; returns its pid once it has,
 * or -1 with the child's errno (the child is reaped).  With go, the child
 * applies its records and waits for a byte on the pipe whose writing end
 * *go gets: the caller records it (the end closed without a byte ends the
 * child). */
static int fork_placed(struct cluster *cl, int node, struct io_redirect *io, int count,
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

int _vorn_rfork_io(int node, struct io_redirect *io, int iolen, int flags)
{
    static const char fn[] = "_vorn_rfork_io";
    char arg[16];
    snprintf(arg, sizeof arg, "%d", flags);
    struct cluster *cl = cluster_get();
    pid_t child = -1;
    int rc = -1;
    if (!cl)
        return -1;
    if (call_fault(cl, fn, node, 1, arg) < 0)
        return -1;
    /* The child journals the call with its placement. */
    struct cl_line line = {fn, node, 1, arg};
    if (move_check(cl, node) == 0 && io_check(io, iolen) == 0)
        rc = fork_placed(cl, node, io, iolen, &line, &child, NULL);
    if (rc == 0 && child == 0)
        return 0;
    if (rc < 0) {
        journal_append(cl, &line, errno);
        return -1;
    }
    return (int)child;
}

int _vorn_vrfork_io(int *nodes, int nnodes, struct io_redirect *io, int iolen, int flags)
{
    static const char fn[] = "_vorn_vrfork_io";
    char arg[1024];
    size_t pos = 0;
    struct cluster *cl = cluster_get();
    pid_t *pids = NULL;
    int rc = -1, made = 0, logged = 0, *gos = NULL;
    struct cl_proc *placed = NULL;
    struct cl_line line = {fn, 0, 0, arg};
    (void)flags;
    arg[0] = 0;
    for (int i = 0; nodes && i < nnodes && pos < sizeof arg - 32; i++)
        pos += (size_t)snprintf(arg + pos, sizeof arg - pos, "%s%d", i ? "," : "", nodes[i]);
    if (nodes && nnodes > 0 && pos >= sizeof arg - 32)
        snprintf(arg + pos, sizeof arg - pos, ",...");
    if (!cl)
        return -1;
    if (call_fault(cl, fn, 0, 0, arg) < 0)
        return -1;
    if (nnodes < 0) {
        errno = EINVAL;
        goto out;
    }
    if (nnodes > 0 && !nodes) {
        errno = EFAULT;
        goto out;
    }
    for (int i = 0; i < nnodes; i++)
        if (move_check(cl, nodes[i]) < 0)
            goto out;
    if (io_check(io, iolen) < 0)
        goto out;
    pids = (pid_t *)malloc((nnodes ? (size_t)nnodes : 1) * sizeof *pids);
    gos = (int *)malloc((nnodes ? (size_t)nnodes : 1) * sizeof *gos);
    placed = (struct cl_proc *)malloc((nnodes ? (size_t)nnodes : 1) * sizeof *placed);
    if (!pids || !gos || !placed)
        goto out;
    for (made = 0; made < nnodes; made++) {
        pid_t child;
        if (fork_placed(cl, nodes[made], io, iolen, NULL, &child, &gos[made]) < 0)
            break;
        if (child == 0) {
            free(pids);
            free(gos);
            free(placed);
            return made;
        }
        pids[made] = child;
        placed[made].pid = child;
        placed[made].node = nodes[made];
        placed[made].start = 0;
    }
    /* Every child has its records: all of them are recorded at once, with
     * the call's one line, and only then let go. */
    if (made == nnodes && procs_register_many(cl, placed, nnodes, 1, &line) == 0)
        logged = 1;
    if (!logged) {
        /* All or nothing: end the children already made. */
        int saved = errno;
        for (int i = 0; i < made; i++) {
            close(gos[i]);
            kill(pids[i], SIGKILL);
            while (waitpid(pids[i], NULL, 0) < 0 && errno == EINTR) {
            }
        }
        errno = saved;
        goto out;
    }
    for (int i = 0; i < nnodes; i++) {
        write_full(gos[i], "g", 1, -1);
        close(gos[i]);
    }
    rc = nnodes;
out:
    free(pids);
    free(gos);
    free(placed);
    if (!logged)
        journal_append(cl, &line, errno);
    return rc;
}

/* ---- Notifier ---- */

/* The follower: copies what is appended to the journal (fd 3) into the
 * pipe (fd 4) until the reader closes its end or the journal goes. */
static void notifier_follow(off_t off)
{
    signal(SIGPIPE, SIG_IGN);
    int ino = inotify_init1(IN_CLOEXEC);
    if (ino >= 0)
        inotify_add_watch(ino, "/proc/self/fd/3", IN_MODIFY | IN_DELETE_SELF | IN_ATTRIB);
    char buf[8192];
    for (;;) {
        struct pollfd p[2] = {{4, 0, 0}, {ino, POLLIN, 0}};
        int r = poll(p, ino >= 0 ? 2 : 1, 500);
        if (r < 0 && errno != EINTR)
            return;
        if (p[0].revents & (POLLERR | POLLHUP | POLLNVAL))
            return;
        if (ino >= 0 && (p[1].revents & POLLIN)) {
            ssize_t n = read(ino, buf, sizeof buf);
            (void)n;
        }
        for (;;) {
            ssize_t n = pread(3, buf, sizeof buf, off);
            if (n <= 0)
                break;
            if (write_full(4, buf, (size_t)n, -1) < 0)
                return;
            off += n;
        }
        struct stat sb;
        if (fstat(3, &sb) < 0 || sb.st_nlink == 0)
            return;
        /* A line cut short by a kill and taken back: the next one is
         * written where it stood. */
        if (sb.st_size < off)
            off = sb.st_size;
    }
}

int vorn_notifier(void)
{
    struct cluster *cl = cluster_get();
    int p[2] = {-1, -1}, jfd = -1;
    if (!cl)
        return -1;
    int err = fault_take(cl, "vorn_notifier", 0, 0);
    if (err) {
        errno = err;
        return -1;
    }
    jfd = cluster_journal_open(cl, O_RDONLY);
    if (jfd < 0)
        return -1;
    off_t off = lseek(jfd, 0, SEEK_END);
    if (off < 0 || pipe2(p, O_CLOEXEC) < 0) {
        int saved = errno;
        close(jfd);
        errno = saved;
        return -1;
    }
    pid_t pid = fork();
    if (pid == 0) {
        if (fork() != 0)
            _exit(0);
        setsid();
        /* Keep only the journal (3) and the pipe (4). */
        int j = fcntl(jfd, F_DUPFD, 10), w = fcntl(p[1], F_DUPFD, 10);
        int null = open("/dev/null", O_RDWR);
        if (j < 0 || w < 0 || null < 0)
            _exit(1);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        dup2(j, 3);
        dup2(w, 4);
        close_range(5, ~0U, 0);
        notifier_follow(off);
        _exit(0);
    }
    int saved = errno;
    close(p[1]);
    close(jfd);
    if (pid < 0) {
        close(p[0]);
        errno = saved;
        return -1;
    }
    while (waitpid(pid, NULL, 0) < 0 && errno == EINTR) {
    }
    return p[0];
}

} /* extern "C" */

/* place.cc - the placement calls (rexec, execmove, move, rfork, vrfork):
 * their checks and journal lines, and the engine that places on the node:
 * place_local.cc here, ssh_place.cc on a node that is a host. */
#include "place.h"
#include "hosts.h"

#include <vorn/vorn.h>

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
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
    /* Returns only when the placement failed. */
    if (node >= 0 && hosts_cluster(cl))
        ssh_place_exec(cl, &line, node, io, count, path, argv, envp ? envp : environ);
    else
        local_place_exec(cl, &line, node, io, count, path, argv, envp ? envp : environ);
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

} /* extern "C" */

// place.cc - one child of vnsh per run, which places the program on its
// node through vnsh_rexec, and the pipe on which it says how that went.
#include "vnsh.h"

#include <vorn/vnsh_io.h>
#include <vorn/vorn.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

extern char **environ;

// In the listener that vnsh_rexec forks: it tells vnsh its pid on the
// placement's status pipe, which is not the listener's to hold after that
// (vnsh reaps the listener once the program has ended: its exit status
// says whether output was lost).  The signals that vnsh forwards to the
// program's process group are not for the listener, which ends by itself
// once the program's streams have ended: it leaves the group, so that the
// program's last words still arrive.
static int child_status_fd = -1;
static void listener_setup(void)
{
    if (child_status_fd >= 0) {
        int rec = -(int)getpid();
        (void)!write(child_status_fd, &rec, sizeof rec);
        close(child_status_fd);
    }
    setpgid(0, 0);
    signal(SIGINT, SIG_IGN);
}

[[noreturn]] static void child_main(struct run *r, const char *path, char **argv, int in_rd,
                                    int out_wr[2], int status_wr)
{
    setpgid(0, 0);
    int sigs[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD, SIGQUIT};
    for (int sig : sigs)
        signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);

    if (in_rd < 0)
        in_rd = open("/dev/null", O_RDONLY);
    if (in_rd < 0 || dup2(in_rd, 0) < 0 || dup2(out_wr[0], 1) < 0 || dup2(out_wr[1], 2) < 0) {
        int err = errno;
        (void)!write(status_wr, &err, sizeof err);
        _exit(127);
    }
    // Everything of ours goes but the status pipe (the cluster library's
    // descriptors, opened earlier, lie below the floor and stay).
    if (status_wr >= own_fd_floor) {
        if (status_wr > own_fd_floor)
            close_range((unsigned)own_fd_floor, (unsigned)status_wr - 1, 0);
        close_range((unsigned)status_wr + 1, ~0U, 0);
    } else {
        close_range((unsigned)own_fd_floor, ~0U, 0);
    }
    if (in_rd > 2 && in_rd < own_fd_floor)
        close(in_rd);
    if (nofile_soft != RLIM_INFINITY) {
        struct rlimit rl;
        if (getrlimit(RLIMIT_NOFILE, &rl) == 0) {
            rl.rlim_cur = nofile_soft;
            setrlimit(RLIMIT_NOFILE, &rl);
        }
    }
    // The program knows its node, as pdsh's %h tells its users theirs.
    char node[16];
    snprintf(node, sizeof node, "%d", r->node);
    if (setenv("VORN_NODE", node, 1) < 0) {
        int err = errno;
        (void)!write(status_wr, &err, sizeof err);
        _exit(127);
    }
    child_status_fd = status_wr;
    pthread_atfork(nullptr, nullptr, listener_setup);

    vnsh_rexec(r->node, path, argv, environ, 0);
    int err = errno;
    (void)!write(status_wr, &err, sizeof err);
    _exit(127);
}

// Forks the run's child.  -1 with errno when the resources for it are
// missing (the caller may try again later).
int run_start(struct run *r, const char *path, char **argv)
{
    int in[2] = {-1, -1}, out[2][2] = {{-1, -1}, {-1, -1}}, st[2] = {-1, -1};
    int err;
    if (r->in_wanted && own_pipe(in, 1) < 0)
        goto fail;
    if (own_pipe(out[0], 0) < 0 || own_pipe(out[1], 0) < 0 || own_pipe(st, 0) < 0)
        goto fail;
    {
        // Our handlers must not run in the child before it has its own
        // process group and the default dispositions.
        int wr[2] = {out[0][1], out[1][1]};
        sigset_t all, old;
        sigfillset(&all);
        sigprocmask(SIG_BLOCK, &all, &old);
        r->pid = fork();
        if (r->pid == 0)
            child_main(r, path, argv, in[0], wr, st[1]);
        err = errno;
        sigprocmask(SIG_SETMASK, &old, nullptr);
        errno = err;
    }
    if (r->pid < 0)
        goto fail;
    setpgid(r->pid, r->pid); // either side may be first
    close(in[0]);
    close(out[0][1]);
    close(out[1][1]);
    close(st[1]);
    r->in_fd = in[1];
    r->out[0].fd = out[0][0];
    r->out[1].fd = out[1][0];
    r->status_fd = st[0];
    r->state = RUN_PLACING;
    r->started = now_ms();
    r->orphan_mark = orphans_mark();
    return 0;
fail:
    err = errno;
    r->pid = 0;
    int *fds[] = {&in[0], &in[1], &out[0][0], &out[0][1], &out[1][0], &out[1][1], &st[0], &st[1]};
    for (int *fd : fds)
        close_fd(fd);
    errno = err;
    return -1;
}

// The child's status pipe: the listener's pid, negated, when vnsh_rexec
// forked one; an errno when the placement failed; end of file when the
// program started (the pipe closes on exec and in the listener).  Each
// record is one int, written whole.  Returns the errno, 0 when the program
// started, -1 when there is nothing more yet.
int status_read(struct run *r)
{
    for (;;) {
        int rec;
        ssize_t n = read(r->status_fd, &rec, sizeof rec);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            return -1;
        if (n != (ssize_t)sizeof rec)
            return 0;
        if (rec >= 0)
            return rec ? rec : EIO;
        r->listener = -rec;
    }
}

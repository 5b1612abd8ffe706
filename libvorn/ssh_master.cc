/* ssh_master.cc - one OpenSSH master connection per node of a cluster of
 * hosts (more where a node runs more sessions than one master carries),
 * kept in a private directory and started on first use or by vornemu
 * connect; the session slots that spread a node's sessions over them. */
#include "hosts.h"
#include "ssh_mux.h"

#include <vorn/vorn.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define MASTERS_PER_NODE 64
/* Room ssh needs after a control path: it binds "PATH.XXXXXXXXXXXXXXXX"
 * and renames that into place. */
#define CTL_ROOM 20

/* A directory only we may enter: made if missing; refused (EACCES) when
 * it is someone else's or open to others. */
static int private_dir(const char *path)
{
    if (mkdir(path, 0700) < 0 && errno != EEXIST)
        return -1;
    struct stat st;
    if (lstat(path, &st) < 0)
        return -1;
    if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077)) {
        errno = EACCES;
        return -1;
    }
    return 0;
}

/* Where this user's masters of this cluster live: under $XDG_RUNTIME_DIR
 * where it is a private directory of ours (one directory per cluster),
 * else in the cluster's own directory (ours in users/ for another user of
 * a shared cluster); the first whose socket paths fit. */
static int ctl_dir(struct cluster *cl, char *out, size_t size)
{
    static char cached[4200];
    static dev_t cdev;
    static ino_t cino;
    static uid_t cuid = (uid_t)-1;
    if (cached[0] && cdev == cl->dev && cino == cl->ino && cuid == geteuid()) {
        snprintf(out, size, "%s", cached);
        return 0;
    }
    char parent[4200], dirs[2][4300];
    const char *parents[2] = {NULL, NULL};
    int n = 0, err = ENAMETOOLONG;
    const char *xdg = getenv("XDG_RUNTIME_DIR");
    struct stat st;
    if (xdg && xdg[0] == '/' && stat(xdg, &st) == 0 && S_ISDIR(st.st_mode) &&
        st.st_uid == geteuid() && !(st.st_mode & 077)) {
        snprintf(parent, sizeof parent, "%s/vorn-ssh", xdg);
        snprintf(dirs[n], sizeof dirs[n], "%s/%llx-%llx", parent, (unsigned long long)cl->dev,
                 (unsigned long long)cl->ino);
        parents[n++] = parent;
    }
    if (cl->lock_rw)
        snprintf(dirs[n++], sizeof dirs[0], "%s/ssh", cl->path);
    else if (cluster_user_files(cl) == 0 && cl->udir[0])
        snprintf(dirs[n++], sizeof dirs[0], "%s/%s/%s/ssh", cl->path, USERS_DIR, cl->udir);
    for (int i = 0; i < n; i++) {
        if (strlen(dirs[i]) + 16 + CTL_ROOM >= sizeof(((struct sockaddr_un *)0)->sun_path))
            continue;
        if ((parents[i] && private_dir(parents[i]) < 0) || private_dir(dirs[i]) < 0) {
            err = errno;
            continue;
        }
        snprintf(cached, sizeof cached, "%s", dirs[i]);
        cdev = cl->dev;
        cino = cl->ino;
        cuid = geteuid();
        snprintf(out, size, "%s", dirs[i]);
        return 0;
    }
    errno = err;
    return -1;
}

/* The ssh command line up to the destination, for one master; argv
 * points into buf. */
#define SSH_ARGV_MAX 24
struct ssh_cmd {
    char *argv[SSH_ARGV_MAX + 8];
    int argc;
    char buf[HOSTS_CONFIG_MAX + 1024];
};
/* Copies s into the command's buffer and adds it to its arguments. */
static void cmd_add(struct ssh_cmd *c, size_t *pos, const char *s)
{
    size_t l = strlen(s) + 1;
    if (*pos + l > sizeof c->buf || c->argc >= SSH_ARGV_MAX)
        return;
    memcpy(c->buf + *pos, s, l);
    c->argv[c->argc++] = c->buf + *pos;
    *pos += l;
}

static void ssh_cmd_make(struct ssh_cmd *c, const struct hosts_header *hdr, const char *ctl,
                         int master)
{
    size_t pos = 0;
    c->argc = 0;
    cmd_add(c, &pos, "ssh");
    if (hdr && hdr->ssh_config[0]) {
        cmd_add(c, &pos, "-F");
        cmd_add(c, &pos, hdr->ssh_config);
    }
    if (ctl) {
        char opt[300];
        snprintf(opt, sizeof opt, "ControlPath=%s", ctl);
        cmd_add(c, &pos, "-o");
        cmd_add(c, &pos, opt);
        cmd_add(c, &pos, "-o");
        cmd_add(c, &pos, master ? "ControlMaster=yes" : "ControlMaster=no");
        if (master) {
            cmd_add(c, &pos, "-o");
            /* A master nobody has used for an hour ends: the cost of a new
             * one later is one connection, and no master outlives its
             * cluster (or its control socket) for long. */
            cmd_add(c, &pos, "ControlPersist=3600");
            cmd_add(c, &pos, "-f");
            cmd_add(c, &pos, "-N");
        }
    }
    /* No prompt may wait for an answer nobody gives. */
    cmd_add(c, &pos, "-o");
    cmd_add(c, &pos, "BatchMode=yes");
    cmd_add(c, &pos, "-T");
    c->argv[c->argc] = NULL;
}

/* Whether a master answers on its control socket. */
static int master_alive(const char *ctl)
{
    int fd = mux_open(ctl);
    if (fd < 0)
        return 0;
    close(fd);
    return 1;
}

/* A lock file of ours, taken at once (LOCK_NB) or within wait_ms;
 * the descriptor, or -1 (EWOULDBLOCK when the wait ran out). */
static int lock_file(const char *path, int wait_ms)
{
    int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0)
        return -1;
    int64_t until = mono_ms() + wait_ms;
    for (int step = 1;; step = step < 50 ? step * 2 : 50) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            return fd;
        if (errno != EWOULDBLOCK || mono_ms() >= until)
            return close_keep_errno(fd);
        usleep((useconds_t)step * 1000);
    }
}

/* Waits at most until deadline (monotonic ms) for child pid; its wait
 * status, or -1 after killing it when the time ran out. */
static int child_wait(pid_t pid, int64_t deadline)
{
    int pfd = (int)syscall(SYS_pidfd_open, pid, 0), status;
    for (int step = 1;; step = step < 50 ? step * 2 : 50) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            break;
        if (r < 0 && errno != EINTR) {
            status = -1;
            break;
        }
        int64_t left = deadline - mono_ms();
        if (left <= 0) {
            kill(pid, SIGKILL);
            while (waitpid(pid, NULL, 0) < 0 && errno == EINTR) {
            }
            status = -1;
            errno = ETIMEDOUT;
            break;
        }
        if (pfd >= 0) {
            struct pollfd p = {pfd, POLLIN, 0};
            poll(&p, 1, (int)(left < 1000 ? left : 1000));
        } else {
            usleep((useconds_t)step * 1000);
        }
    }
    if (pfd >= 0)
        close(pfd);
    return status;
}

/* Starts ssh with argv in a session of its own (no signal meant for the
 * caller's group reaches it), with none of the caller's descriptors but
 * standard error into errfd (or /dev/null). */
static pid_t ssh_spawn(char *const argv[], int errfd)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    setsid();
    int null = open("/dev/null", O_RDWR);
    if (null < 0)
        _exit(127);
    dup2(null, 0);
    dup2(null, 1);
    dup2(errfd >= 0 ? errfd : null, 2);
    close_range(3, ~0U, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, NULL);
    static const int sigs[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGCHLD};
    for (int sig : sigs)
        signal(sig, SIG_DFL);
    execvp(argv[0], argv);
    _exit(127);
}

/* The last line ssh wrote to its log, for the journal and the user. */
static void log_tail(const char *log, char *why, size_t size)
{
    char buf[2048];
    int fd = open(log, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    ssize_t n = fd < 0 ? -1 : read(fd, buf, sizeof buf - 1);
    if (fd >= 0)
        close(fd);
    if (n <= 0) {
        snprintf(why, size, "ssh failed");
        return;
    }
    buf[n] = 0;
    while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\r'))
        buf[--n] = 0;
    char *last = strrchr(buf, '\n');
    last = last ? last + 1 : buf;
    for (char *p = last; *p; p++)
        if ((unsigned char)*p < ' ')
            *p = ' ';
    snprintf(why, size, "%s", last);
}

/* Starts a master on ctl for dest unless one runs: bounded, the start
 * serialized with other callers.  -1 with EHOSTDOWN (why says why). */
static int master_up(const struct hosts_header *hdr, const char *dest, const char *ctl, char *why,
                     size_t whysize)
{
    if (master_alive(ctl))
        return 0;
    char path[300];
    snprintf(path, sizeof path, "%s.start", ctl);
    int lk = lock_file(path, SSH_CONNECT_WAIT_MS);
    if (lk < 0) {
        snprintf(why, whysize, "another start of this connection did not end within %d s",
                 SSH_CONNECT_WAIT_MS / 1000);
        errno = EHOSTDOWN;
        return -1;
    }
    int rc = 0;
    if (!master_alive(ctl)) {
        unlink(ctl); /* a master that died leaves its socket */
        snprintf(path, sizeof path, "%s.log", ctl);
        int logfd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
        struct ssh_cmd c;
        ssh_cmd_make(&c, hdr, ctl, 1);
        c.argv[c.argc++] = (char *)"--";
        c.argv[c.argc++] = (char *)dest;
        c.argv[c.argc] = NULL;
        pid_t pid = ssh_spawn(c.argv, logfd);
        int status = pid < 0 ? -1 : child_wait(pid, mono_ms() + SSH_CONNECT_WAIT_MS);
        if (logfd >= 0)
            close(logfd);
        if (status == 0 && master_alive(ctl)) {
            rc = 0;
        } else {
            if (pid < 0)
                snprintf(why, whysize, "cannot start ssh: %s", strerror(errno));
            else if (status == -1)
                snprintf(why, whysize, "no connection within %d s", SSH_CONNECT_WAIT_MS / 1000);
            else
                log_tail(path, why, whysize);
            errno = EHOSTDOWN;
            rc = -1;
        }
    }
    close_keep_errno(lk);
    return rc;
}

int ssh_slot_take(struct cluster *cl, int node, const struct host_rec *h,
                  const struct hosts_header *hdr, int first, struct ssh_slot *s, char *why,
                  size_t whysize)
{
    char dir[4200], path[4300];
    s->fd = -1;
    why[0] = 0;
    if (ctl_dir(cl, dir, sizeof dir) < 0) {
        snprintf(why, whysize, "no private directory for the connections: %s", strerror(errno));
        return -1;
    }
    for (int k = first; k < MASTERS_PER_NODE && s->fd < 0; k++) {
        for (int j = 0; j < SSH_SESSIONS_PER_MASTER; j++) {
            snprintf(path, sizeof path, "%s/%d.%d.%d", dir, node, k, j);
            int fd = lock_file(path, 0);
            if (fd >= 0) {
                s->fd = fd;
                s->master = k;
                snprintf(s->ctl, sizeof s->ctl, "%s/%d.%d", dir, node, k);
                break;
            }
            if (errno != EWOULDBLOCK)
                return -1;
        }
    }
    if (s->fd < 0) {
        errno = EAGAIN;
        return -1;
    }
    if (master_up(hdr, h->dest, s->ctl, why, whysize) < 0) {
        ssh_slot_drop(s);
        errno = EHOSTDOWN;
        return -1;
    }
    return 0;
}

void ssh_slot_drop(struct ssh_slot *s)
{
    if (s->fd >= 0)
        close_keep_errno(s->fd);
    s->fd = -1;
}

/* A master being started by vornemu connect: the child starting it, the
 * pipe on which it says why it failed, and the node and host. */
struct starting {
    pid_t pid; /* 0: a free place */
    int pipe;
    int node;
    struct host_rec rec;
};

/* Starts node's first master in a child, at the free place s (the child
 * takes the start lock as a placement would); 0, or -1 with errno. */
static int start_one(struct starting *s, const struct hosts_header *hdr, const char *dir,
                     struct cluster *cl, int node)
{
    int p[2];
    if (host_read(cl, node, &s->rec, NULL) < 0) {
        strcpy(s->rec.dest, "?");
        return -1;
    }
    if (pipe2(p, O_CLOEXEC) < 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        char why[512], ctl[4300];
        snprintf(ctl, sizeof ctl, "%s/%d.0", dir, node);
        int rc = master_up(hdr, s->rec.dest, ctl, why, sizeof why);
        if (rc < 0)
            write_full(p[1], why, strlen(why), -1);
        _exit(rc < 0 ? 1 : 0);
    }
    int saved = errno;
    close(p[1]);
    if (pid < 0) {
        close(p[0]);
        errno = saved;
        return -1;
    }
    s->pid = pid;
    s->pipe = p[0];
    s->node = node;
    return 0;
}

int ssh_connect_all(struct cluster *cl, int fanout,
                    void (*report)(void *ctx, int node, const char *dest, int err, const char *why),
                    void *ctx)
{
    if (fanout < 1)
        fanout = 1;
    struct hosts_header *hdr = (struct hosts_header *)malloc(sizeof *hdr);
    struct starting *list = (struct starting *)calloc((size_t)fanout, sizeof *list);
    char dir[4200];
    int failed = -1;
    if (!hdr || !list || host_read(cl, 0, NULL, hdr) < 0 || ctl_dir(cl, dir, sizeof dir) < 0)
        goto out;
    failed = 0;
    for (int next = 0, running = 0; next < (int)cl->hdr.nnodes || running > 0;) {
        while (running < fanout && next < (int)cl->hdr.nnodes) {
            int node = next++;
            struct cl_node n;
            if (node_read(cl, node, &n) < 0 || node_effective_state(&n, now_us()) == VORN_NODE_DOWN)
                continue; /* a node that is down is not connected */
            struct starting *s = list;
            while (s->pid)
                s++;
            if (start_one(s, hdr, dir, cl, node) < 0) {
                report(ctx, node, s->rec.dest, errno,
                       errno == EIO ? "damaged host table" : strerror(errno));
                failed++;
                continue;
            }
            running++;
        }
        if (running == 0)
            break;
        int status;
        pid_t done = wait(&status);
        if (done < 0)
            break;
        for (struct starting *s = list; s < list + fanout; s++) {
            if (s->pid != done)
                continue;
            char why[512];
            ssize_t n = read(s->pipe, why, sizeof why - 1);
            why[n > 0 ? n : 0] = 0;
            close(s->pipe);
            int ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
            failed += !ok;
            report(ctx, s->node, s->rec.dest, ok ? 0 : EHOSTDOWN, why);
            s->pid = 0;
            running--;
        }
    }
out:
    free(hdr);
    free(list);
    return failed;
}

/* What ending the masters of a directory needs and counts. */
struct ends {
    int dfd;
    const char *dir;
    const struct hosts_header *hdr;
    int count;
};

/* Tells the master of a control socket to exit. */
static int master_end(void *ctx, const char *name)
{
    struct ends *x = (struct ends *)ctx;
    struct stat st;
    if (fstatat(x->dfd, name, &st, AT_SYMLINK_NOFOLLOW) < 0 || !S_ISSOCK(st.st_mode))
        return 0;
    char ctl[4400];
    snprintf(ctl, sizeof ctl, "%s/%s", x->dir, name);
    struct ssh_cmd c;
    ssh_cmd_make(&c, x->hdr, ctl, 0);
    c.argv[c.argc++] = (char *)"-O";
    c.argv[c.argc++] = (char *)"exit";
    c.argv[c.argc++] = (char *)"--";
    c.argv[c.argc++] = (char *)"vorn-node";
    c.argv[c.argc] = NULL;
    pid_t pid = ssh_spawn(c.argv, -1);
    if (pid > 0 && child_wait(pid, mono_ms() + 10000) == 0)
        x->count++;
    unlinkat(x->dfd, name, 0);
    return 0;
}

int ssh_disconnect_all(struct cluster *cl)
{
    char dir[4200];
    if (ctl_dir(cl, dir, sizeof dir) < 0)
        return -1;
    struct hosts_header *hdr = (struct hosts_header *)malloc(sizeof *hdr);
    if (!hdr || host_read(cl, 0, NULL, hdr) < 0) {
        free(hdr);
        return -1;
    }
    int dfd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) {
        free(hdr);
        return -1;
    }
    struct ends x = {dfd, dir, hdr, 0};
    dir_each(dfd, master_end, &x);
    close(dfd);
    free(hdr);
    return x.count;
}

int ssh_run(struct cluster *cl, int node, const char *command, int as_root)
{
    struct host_rec h;
    struct hosts_header *hdr = (struct hosts_header *)malloc(sizeof *hdr);
    if (!hdr || host_read(cl, node, &h, hdr) < 0) {
        free(hdr);
        return -1;
    }
    char dest[HOSTS_DEST_MAX + 8];
    const char *at = strchr(h.dest, '@');
    snprintf(dest, sizeof dest, "%s%s", as_root ? "root@" : "", as_root && at ? at + 1 : h.dest);
    struct ssh_cmd c;
    ssh_cmd_make(&c, hdr, NULL, 0);
    c.argv[c.argc++] = (char *)"--";
    c.argv[c.argc++] = dest;
    c.argv[c.argc++] = (char *)command;
    c.argv[c.argc] = NULL;
    pid_t pid = ssh_spawn(c.argv, -1);
    free(hdr);
    if (pid < 0)
        return -1;
    int status = child_wait(pid, mono_ms() + SSH_CONNECT_WAIT_MS);
    if (status < 0)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

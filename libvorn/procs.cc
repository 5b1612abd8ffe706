/* procs.cc - placement records: one per placed process, a symlink
 * placed/PID whose text is "NODE START", written aside and renamed under
 * its writer's lock and found by its pid; and the live processes of one
 * node or of every node, found in one pass. */
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
#include <time.h>
#include <unistd.h>

/* A placement clears the records of the few pids after its own that
 * belong to processes gone: as pids come round, dead records go. */
#define SWEEP_AHEAD 4

/* The pid a record's name stands for: canonical decimal only. */
static int name_pid(const char *name)
{
    if (name[0] < '1' || name[0] > '9' || strlen(name) > 10 ||
        strspn(name, "0123456789") != strlen(name))
        return -1;
    long long v = atoll(name);
    return v > 0 && v <= INT32_MAX ? (int)v : -1;
}

int record_read(int dirfd, const char *name, struct cl_proc *p)
{
    char buf[64], *end;
    int pid = name_pid(name);
    if (pid < 0 || dirfd < 0) {
        errno = ENOENT;
        return -1;
    }
    ssize_t n = readlinkat(dirfd, name, buf, sizeof buf - 1);
    if (n < 0) {
        /* Anything but a symlink in a record's place is damage. */
        if (errno == EINVAL)
            errno = EIO;
        return -1;
    }
    buf[n] = 0;
    errno = 0;
    long node = strtol(buf, &end, 10);
    if (errno || end == buf || *end != ' ' || node < -1 || node > CL_MAX_NODES) {
        errno = EIO;
        return -1;
    }
    const char *s = end + 1;
    unsigned long long start = strtoull(s, &end, 10);
    if (errno || end == s || *end || *s < '0' || *s > '9') {
        errno = EIO;
        return -1;
    }
    p->pid = pid;
    p->node = (int32_t)node;
    p->start = start;
    return 0;
}

struct record_walk {
    int dirfd;
    int (*fn)(void *ctx, const char *name, const struct cl_proc *p);
    void *ctx;
};

static int record_visit(void *ctx, const char *name)
{
    const struct record_walk *w = (const struct record_walk *)ctx;
    struct cl_proc p;
    int sound = record_read(w->dirfd, name, &p) == 0;
    return w->fn(w->ctx, name, sound ? &p : NULL);
}

int records_each(int dirfd, int (*fn)(void *ctx, const char *name, const struct cl_proc *p),
                 void *ctx)
{
    struct record_walk w = {dirfd, fn, ctx};
    return dir_each(dirfd, record_visit, &w);
}

/* Our own placed/ and its path from the cluster directory. */
static int writer_dir(struct cluster *cl, char *path, size_t size)
{
    if (cl->lock_rw) {
        snprintf(path, size, FILE_PLACED);
        return cl->placed_fd;
    }
    snprintf(path, size, USERS_DIR "/%s/" FILE_PLACED, cl->udir);
    return cl->uplaced_fd;
}

static int record_aside(int dirfd, const struct cl_proc *p)
{
    char name[32], text[64];
    snprintf(name, sizeof name, "%d.new", (int)p->pid);
    snprintf(text, sizeof text, "%d %llu", (int)p->node, (unsigned long long)p->start);
    /* What lies here was left by a writer of this pid that was killed. */
    if (unlinkat(dirfd, name, 0) < 0 && errno != ENOENT)
        return -1;
    return symlinkat(text, dirfd, name);
}

static void records_unlink(int dirfd, const struct cl_proc *p, int n, const char *suffix)
{
    int saved = errno;
    for (int i = 0; i < n; i++) {
        char name[32];
        snprintf(name, sizeof name, "%d%s", (int)p[i].pid, suffix);
        unlinkat(dirfd, name, 0);
    }
    errno = saved;
}

/* Under our lock: the records of the next few pids whose process is gone. */
static void records_sweep(int dirfd, int pid)
{
    for (int k = 1; k <= SWEEP_AHEAD; k++) {
        char name[16];
        struct cl_proc p;
        uint64_t start;
        snprintf(name, sizeof name, "%d", pid + k);
        if (pid + k <= 0 || record_read(dirfd, name, &p) < 0)
            continue;
        if (proc_stat(p.pid, NULL, &start) < 0 || start != p.start)
            unlinkat(dirfd, name, 0);
    }
}

static int nodes_up(struct cluster *cl, const struct cl_proc *add, int nadd)
{
    for (int j = 0; j < nadd; j++) {
        struct cl_node rec;
        if (add[j].node < 0)
            continue;
        if (node_read(cl, add[j].node, &rec) < 0)
            return -1;
        if (node_effective_state(&rec, now_us()) != VORN_NODE_UP) {
            errno = EHOSTDOWN;
            return -1;
        }
    }
    return 0;
}

int procs_register_many(struct cluster *cl, const struct cl_proc *add, int nadd, int need_up,
                        const struct cl_line *line)
{
    char path[128];
    int rc = -1, made = 0, renamed = 0, dfd;
    struct cl_proc *recs = (struct cl_proc *)malloc((size_t)(nadd ? nadd : 1) * sizeof *recs);
    if (!recs)
        return -1;
    for (int j = 0; j < nadd; j++) {
        recs[j] = add[j];
        if (proc_stat(add[j].pid, NULL, &recs[j].start) < 0) {
            free(recs);
            return -1;
        }
    }
    if (change_lock(cl) < 0) {
        free(recs);
        return -1;
    }
    dfd = writer_dir(cl, path, sizeof path);
    if (dfd < 0) {
        errno = EACCES;
        goto out;
    }
    /* Checked again under the lock: a reboot or halt by the same writer
     * between the placement's first check and now has killed the node's
     * processes already and must not miss these. */
    if (need_up && nodes_up(cl, recs, nadd) < 0)
        goto out;
    for (made = 0; made < nadd; made++)
        if (record_aside(dfd, &recs[made]) < 0)
            goto out;
    if (line) {
        struct cl_redo redo;
        memset(&redo, 0, sizeof redo);
        redo.kind = REDO_RECORDS;
        redo.text = path;
        redo.procs = recs;
        redo.nprocs = nadd;
        if (change_line(cl, line, 0, &redo) < 0)
            goto out;
    }
    for (renamed = 0; renamed < nadd; renamed++) {
        char from[32], to[16];
        snprintf(to, sizeof to, "%d", (int)recs[renamed].pid);
        snprintf(from, sizeof from, "%s.new", to);
        if (renameat(dfd, from, dfd, to) < 0)
            break;
    }
    /* Another user's placement does not share root's lock: a halt that
     * came between the check above and the records has written the node
     * down before it looked for processes to kill, so looking again now
     * sees it whenever it did not see the records. */
    if (renamed < nadd || (need_up && !cl->lock_rw && nodes_up(cl, recs, nadd) < 0)) {
        records_unlink(dfd, recs, renamed, "");
        if (line)
            change_undo(cl);
        goto out;
    }
    made = 0;
    if (line)
        change_done(cl);
    for (int j = 0; j < nadd; j++)
        records_sweep(dfd, recs[j].pid);
    rc = 0;
out:
    records_unlink(dfd, recs, made, ".new");
    {
        int saved = errno;
        change_unlock(cl);
        free(recs);
        errno = saved;
    }
    return rc;
}

int procs_register(struct cluster *cl, int pid, int node, int need_up, const struct cl_line *line)
{
    struct cl_proc one = {pid, node, 0};
    return procs_register_many(cl, &one, 1, need_up, line);
}

void procs_kill(const struct cl_proc *list, int n, int sig)
{
    for (int i = 0; i < n; i++) {
        uint64_t start;
        if (list[i].pid != getpid() && proc_stat(list[i].pid, NULL, &start) == 0 &&
            start == list[i].start)
            kill(list[i].pid, sig);
    }
}

/* ---- Believing records ---- */

/* Whether another user's record (in the directory of uid) may stand: its
 * process is live and uid's (real or saved user id), and, as a placement,
 * on a node that is up and open to it, as the library would have checked.
 * For a kill, the owner's own process is enough. */
static int user_record_believed(struct cluster *cl, const struct cl_proc *p, uid_t uid,
                                int for_kill)
{
    struct proc_creds c;
    uint64_t start;
    if (proc_stat(p->pid, NULL, &start) < 0 || start != p->start || proc_creds(p->pid, &c) < 0 ||
        (c.ruid != uid && c.suid != uid))
        return 0;
    if (for_kill || p->node < 0)
        return 1;
    struct cl_node n;
    if (node_read(cl, p->node, &n) < 0)
        return 0;
    return node_effective_state(&n, now_us()) == VORN_NODE_UP && node_allows(&n, uid, &c) == 0;
}

/* The believed record of pid (started at start): its node, or INT32_MIN. */
static int record_node(struct cluster *cl, int pid, uint64_t start)
{
    char name[16];
    struct cl_proc p;
    snprintf(name, sizeof name, "%d", pid);
    if (record_read(cl->placed_fd, name, &p) == 0) {
        if ((int64_t)p.node >= (int64_t)cl->hdr.nnodes)
            return INT32_MIN + 1;
        if (p.start == start)
            return p.node;
    } else if (errno == EIO) {
        return INT32_MIN + 1; /* a record of the owner's that no call wrote */
    }
    if (cl->users_fd < 0)
        return INT32_MIN;
    uid_t ruid, suid;
    if (proc_uids(pid, &ruid, &suid) < 0)
        return INT32_MIN;
    uid_t uids[2] = {ruid, suid};
    for (int k = 0; k < 2; k++) {
        if (k == 1 && suid == ruid)
            continue;
        char dname[64];
        int ufd = user_dir_open(cl, uids[k], dname, sizeof dname);
        if (ufd < 0)
            continue;
        int pfd = openat(ufd, FILE_PLACED, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        close(ufd);
        if (pfd < 0)
            continue;
        int got = record_read(pfd, name, &p) == 0 && p.start == start &&
                  (int64_t)p.node < (int64_t)cl->hdr.nnodes &&
                  user_record_believed(cl, &p, uids[k], 0);
        close(pfd);
        if (got)
            return p.node;
    }
    return INT32_MIN;
}

int proc_node(struct cluster *cl, int pid)
{
    if (cluster_lock(cl, 0) < 0)
        return INT32_MIN;
    int p = pid;
    for (int depth = 0; depth < 4096; depth++) {
        int ppid;
        uint64_t start;
        if (proc_stat(p, &ppid, &start) < 0) {
            if (p == pid) {
                errno = ESRCH;
                return INT32_MIN;
            }
            return -1;
        }
        int node = record_node(cl, p, start);
        if (node == INT32_MIN + 1) {
            errno = EIO;
            return INT32_MIN;
        }
        if (node != INT32_MIN)
            return node;
        if (ppid <= 1)
            return -1;
        p = ppid;
    }
    return -1;
}

/* ---- Listing: every record once, every process once ---- */

struct recs {
    struct cl_proc *v;
    int n, cap;
};

static int recs_add(struct recs *r, const struct cl_proc *p)
{
    if (r->n == r->cap) {
        int cap = r->cap ? r->cap * 2 : 64;
        struct cl_proc *g = (struct cl_proc *)realloc(r->v, (size_t)cap * sizeof *g);
        if (!g)
            return -1;
        r->v = g;
        r->cap = cap;
    }
    r->v[r->n++] = *p;
    return 0;
}

static int by_pid(const void *a, const void *b)
{
    const struct cl_proc *x = (const struct cl_proc *)a, *y = (const struct cl_proc *)b;
    return x->pid < y->pid ? -1 : x->pid > y->pid;
}

struct gather {
    struct cluster *cl;
    struct recs *out;
    uid_t uid; /* the directory's owner; (uid_t)-1 for the main records */
    int for_kill;
    int count;
    int damaged;
};

static int gather_one(void *ctx, const char *name, const struct cl_proc *p)
{
    struct gather *g = (struct gather *)ctx;
    if (name_pid(name) < 0)
        return 0; /* a record being written, or not a record */
    if (g->uid == (uid_t)-1) {
        /* The owner's records: one that no call wrote is damage. */
        if (!p || (int64_t)p->node >= (int64_t)g->cl->hdr.nnodes) {
            g->damaged = 1;
            return -1;
        }
        return recs_add(g->out, p);
    }
    /* Another user's: only so many, and only what is believed. */
    if (++g->count > USER_RECORDS_MAX)
        return 1;
    if (!p || (int64_t)p->node >= (int64_t)g->cl->hdr.nnodes ||
        !user_record_believed(g->cl, p, g->uid, g->for_kill))
        return 0;
    return recs_add(g->out, p);
}

/* The owner's records as last read by this process, kept while placed/
 * has not changed since: a query per node (vornstat -l, vornctl -S all
 * -H) reads them once.  A directory's time stamp moves in coarse steps,
 * so the copy is trusted only when the directory had not changed for a
 * while when it was read: any later change then shows as a later time. */
#define QUIET_NS 50000000LL
static struct {
    int valid;
    dev_t dev;
    ino_t ino;
    struct timespec mtime;
    struct recs r;
} main_cache;

static int64_t ts_ns(const struct timespec *t)
{
    return (int64_t)t->tv_sec * 1000000000 + t->tv_nsec;
}

static int main_records(struct cluster *cl, struct recs *out)
{
    struct stat st;
    struct timespec now;
    if (fstat(cl->placed_fd, &st) < 0)
        return -1;
    if (main_cache.valid && main_cache.dev == st.st_dev && main_cache.ino == st.st_ino &&
        ts_ns(&main_cache.mtime) == ts_ns(&st.st_mtim)) {
        for (int i = 0; i < main_cache.r.n; i++)
            if (recs_add(out, &main_cache.r.v[i]) < 0)
                return -1;
        return 0;
    }
    clock_gettime(CLOCK_REALTIME, &now);
    int first = out->n;
    struct gather g = {cl, out, (uid_t)-1, 0, 0, 0};
    if (records_each(cl->placed_fd, gather_one, &g) < 0) {
        if (g.damaged)
            errno = EIO;
        return -1;
    }
    main_cache.valid = 0;
    if (ts_ns(&now) - ts_ns(&st.st_mtim) < QUIET_NS)
        return 0;
    struct recs copy = {NULL, 0, 0};
    for (int i = first; i < out->n; i++)
        if (recs_add(&copy, &out->v[i]) < 0) {
            free(copy.v);
            return 0;
        }
    free(main_cache.r.v);
    main_cache.r = copy;
    main_cache.dev = st.st_dev;
    main_cache.ino = st.st_ino;
    main_cache.mtime = st.st_mtim;
    main_cache.valid = 1;
    return 0;
}

/* The records of the user whose directory under users/ is name, added as
 * ctx (a gather) says. */
static int gather_user(void *ctx, const char *name)
{
    const struct gather *g = (const struct gather *)ctx;
    uid_t uid;
    char used[64];
    if (!user_dir_name(name, &uid))
        return 0;
    int ufd = user_dir_open(g->cl, uid, used, sizeof used);
    if (ufd < 0)
        return 0;
    int rc = 0;
    /* The directory that uid uses, once, whatever else bears its number. */
    if (strcmp(used, name) == 0) {
        int pfd = openat(ufd, FILE_PLACED, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (pfd >= 0) {
            struct gather ug = {g->cl, g->out, uid, g->for_kill, 0, 0};
            if (records_each(pfd, gather_one, &ug) < 0 && errno == ENOMEM)
                rc = -1;
            close(pfd);
        }
    }
    close(ufd);
    return rc;
}

/* Every believed record: the owner's, and each other user's directory
 * under users/ (canonical names of a directory its user owns only),
 * read without any lock: a file of another user's cannot hold us up. */
static int records_gather(struct cluster *cl, struct recs *out, int for_kill)
{
    if (main_records(cl, out) < 0)
        return -1;
    if (cl->users_fd < 0)
        return 0;
    struct gather g = {cl, out, (uid_t)-1, for_kill, 0, 0};
    return dir_each(cl->users_fd, gather_user, &g);
}

/* The machine's processes, by pid: parent and start time. */
struct pinfo {
    int pid, ppid;
    uint64_t start;
};

/* The machine's processes as last read by this process, kept while no
 * thread was made or ended since: /proc/loadavg's count of threads and
 * last pid are the same. */
static struct {
    int valid;
    char key[64];
    struct pinfo *v;
    int n;
} proc_cache;

static int proc_key(char *key, size_t size)
{
    char buf[128];
    int fd = open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0)
        return -1;
    buf[n] = 0;
    /* "0.00 0.00 0.00 RUNNING/THREADS LASTPID": the last two fields. */
    const char *slash = strchr(buf, '/');
    const char *sp = slash ? strchr(slash, ' ') : NULL;
    if (!sp)
        return -1;
    snprintf(key, size, "%s", slash + 1);
    return 0;
}

static int proc_scan_fresh(struct pinfo **out);

static int proc_scan(struct pinfo **out)
{
    char key[64];
    int have = proc_key(key, sizeof key) == 0;
    if (have && proc_cache.valid && strcmp(key, proc_cache.key) == 0) {
        *out = (struct pinfo *)malloc((size_t)(proc_cache.n ? proc_cache.n : 1) * sizeof **out);
        if (!*out)
            return -1;
        memcpy(*out, proc_cache.v, (size_t)proc_cache.n * sizeof **out);
        return proc_cache.n;
    }
    int n = proc_scan_fresh(out);
    proc_cache.valid = 0;
    if (n < 0 || !have)
        return n;
    /* Kept only if nothing changed while we read. */
    char after[64];
    struct pinfo *copy = (struct pinfo *)malloc((size_t)(n ? n : 1) * sizeof *copy);
    if (!copy || proc_key(after, sizeof after) < 0 || strcmp(after, key) != 0) {
        free(copy);
        return n;
    }
    memcpy(copy, *out, (size_t)n * sizeof *copy);
    free(proc_cache.v);
    proc_cache.v = copy;
    proc_cache.n = n;
    snprintf(proc_cache.key, sizeof proc_cache.key, "%s", key);
    proc_cache.valid = 1;
    return n;
}

static int proc_scan_fresh(struct pinfo **out)
{
    DIR *d = opendir("/proc");
    struct pinfo *v = NULL;
    int n = 0, cap = 0;
    struct dirent *e;
    if (!d)
        return -1;
    while ((e = readdir(d)) != NULL) {
        int pid = name_pid(e->d_name);
        struct pinfo pi;
        if (pid < 0 || proc_stat(pid, &pi.ppid, &pi.start) < 0)
            continue;
        pi.pid = pid;
        if (n == cap) {
            cap = cap ? cap * 2 : 256;
            struct pinfo *g = (struct pinfo *)realloc(v, (size_t)cap * sizeof *g);
            if (!g) {
                free(v);
                closedir(d);
                errno = ENOMEM;
                return -1;
            }
            v = g;
        }
        v[n++] = pi;
    }
    closedir(d);
    *out = v;
    return n;
}

static const struct pinfo *pinfo_find(const struct pinfo *v, int n, int pid)
{
    int lo = 0, hi = n - 1;
    while (lo <= hi) {
        int mid = lo + (hi - lo) / 2;
        if (v[mid].pid == pid)
            return &v[mid];
        if (v[mid].pid < pid)
            lo = mid + 1;
        else
            hi = mid - 1;
    }
    return NULL;
}

static int pinfo_cmp(const void *a, const void *b)
{
    const struct pinfo *x = (const struct pinfo *)a, *y = (const struct pinfo *)b;
    return x->pid < y->pid ? -1 : x->pid > y->pid;
}

static const struct cl_proc *rec_find(const struct recs *r, int pid, uint64_t start)
{
    struct cl_proc key = {pid, 0, 0};
    const struct cl_proc *p =
        (const struct cl_proc *)bsearch(&key, r->v, (size_t)r->n, sizeof *r->v, by_pid);
    return p && p->start == start ? p : NULL;
}

/* The node of a process from the records and the machine's processes:
 * its own record, else its nearest placed ancestor's, else the master. */
static int node_from(const struct recs *r, const struct pinfo *v, int n, const struct pinfo *pi)
{
    for (int depth = 0; pi && depth < 4096; depth++) {
        const struct cl_proc *rec = rec_find(r, pi->pid, pi->start);
        if (rec)
            return rec->node;
        if (pi->ppid <= 1)
            break;
        pi = pinfo_find(v, n, pi->ppid);
    }
    return -1;
}

int procs_placed(struct cluster *cl, int node, struct cl_proc **out, int for_kill)
{
    struct recs r = {NULL, 0, 0};
    struct pinfo *v = NULL;
    struct cl_proc *res = NULL;
    int count = 0, any = 0, rc = -1, n = 0;
    *out = NULL;
    if (records_gather(cl, &r, for_kill) < 0)
        goto out;
    if (r.n)
        qsort(r.v, (size_t)r.n, sizeof *r.v, by_pid);
    /* The machine's processes are read only when the node has a live
     * placement, and then once for all of them. */
    for (int i = 0; i < r.n && !any; i++) {
        uint64_t s;
        if ((node == PROCS_ALL ? r.v[i].node >= 0 : r.v[i].node == node) &&
            proc_stat(r.v[i].pid, NULL, &s) == 0 && s == r.v[i].start)
            any = 1;
    }
    if (any) {
        n = proc_scan(&v);
        if (n < 0)
            goto out;
        qsort(v, (size_t)n, sizeof *v, pinfo_cmp);
        res = (struct cl_proc *)malloc((size_t)(n ? n : 1) * sizeof *res);
        if (!res)
            goto out;
        for (int i = 0; i < n; i++) {
            int on = node_from(&r, v, n, &v[i]);
            if (node == PROCS_ALL ? on < 0 : on != node)
                continue;
            res[count].pid = v[i].pid;
            res[count].node = on;
            res[count].start = v[i].start;
            count++;
        }
    }
    *out = res;
    res = NULL;
    rc = count;
out:
    free(res);
    free(v);
    free(r.v);
    return rc;
}

int procs_kill_node(struct cluster *cl, int node)
{
    struct cl_proc *list = NULL;
    int n = procs_placed(cl, node, &list, 1);
    if (n < 0)
        return -1;
    /* On a host the relay of each placed process kills its program and
     * then ends; whatever else runs there ends with its relay. */
    procs_kill(list, n, (cl->hdr.flags & CL_FLAG_HOSTS) ? SIGUSR1 : SIGKILL);
    free(list);
    return 0;
}

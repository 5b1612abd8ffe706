/* vornemu.cc - administer the emulated cluster or a cluster of hosts:
 * create, connect, show, journal, faults, check, destroy. */
#include "cluster.h"
#include "hosts.h"

#include <vorn/vorn.h>

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static const char usage_text[] =
    "Usage: vornemu COMMAND [ARGUMENTS]\n"
    "Administer the emulated cluster named by VORN_CLUSTER\n"
    "(default /tmp/vorn-cluster-UID).\n"
    "\n"
    "Commands:\n"
    "  init [--nodes N] [--boot-delay SECONDS] [--shared] [--force]\n"
    "                 create the cluster: N slave nodes (8), all up, owned by\n"
    "                 root, mode 0111; reboots take SECONDS (1); --shared lets\n"
    "                 every user of the machine use it; --force replaces an\n"
    "                 existing cluster\n"
    "  init --hosts FILE [--ssh-config FILE] [--power-command COMMAND]\n"
    "       [--boot-delay SECONDS] [--shared] [--force]\n"
    "                 create a cluster whose nodes are the hosts FILE lists,\n"
    "                 one a line (node 0 first), reached with ssh (-F FILE);\n"
    "                 reboot, halt and power-off run COMMAND with the action\n"
    "                 as root on the host\n"
    "  connect        open the ssh connection of every node that is not down\n"
    "  disconnect     close the ssh connections of the nodes\n"
    "  show           print the node table\n"
    "  log [--tail N] print the journal of calls (the last N lines)\n"
    "  fail FUNCTION NODE|any ERRNO [COUNT]\n"
    "                 make the next COUNT calls (every call without COUNT) of\n"
    "                 library function FUNCTION on NODE fail with ERRNO, a name\n"
    "                 such as EIO or a number, without effect\n"
    "  heal           remove every armed fault\n"
    "  check          read the whole cluster and print each inconsistency on a\n"
    "                 line of its own; exit status 1 when there is any\n"
    "  destroy        remove the cluster\n"
    "  -h, --help     print this text\n";

static const char *const state_names[] = VORN_STATE_NAMES;

static void usage_hint(void)
{
    fprintf(stderr, "Try 'vornemu -h' for more information.\n");
}

static int fail_cluster(const char *path)
{
    if (errno == EIO)
        fprintf(stderr, "vornemu: %s: damaged, truncated or foreign cluster state\n", path);
    else if (errno == ENOENT)
        fprintf(stderr, "vornemu: %s: no cluster here (see vornemu init)\n", path);
    else if (errno == ENOLCK && lock_holder() > 0)
        fprintf(stderr, "vornemu: %s: the cluster is locked by process %d (waited %d s)\n", path,
                (int)lock_holder(), LOCK_WAIT_MS / 1000);
    else if ((errno == EACCES || errno == ENOTDIR || errno == ELOOP) &&
             cluster_foreign_message(path))
        fprintf(stderr, "vornemu: %s\n", cluster_foreign_message(path));
    else if (errno == EACCES)
        fprintf(stderr, "vornemu: %s: not a cluster of yours: %s\n", path, strerror(errno));
    else
        fprintf(stderr, "vornemu: %s: %s\n", path, strerror(errno));
    return 1;
}

static void print_summary(const char *path, const struct cl_header *h)
{
    printf("cluster %s: %u nodes, boot delay %u.%03u s, %s%s\n", path, h->nnodes,
           h->boot_delay_ms / 1000, h->boot_delay_ms % 1000,
           h->flags & CL_FLAG_SHARED ? "shared" : "private",
           h->flags & CL_FLAG_HOSTS ? ", hosts reached with ssh" : "");
}

static int parse_uint(const char *s, unsigned long max, unsigned long *out)
{
    char *end;
    if (!s || *s < '0' || *s > '9')
        return -1;
    errno = 0;
    unsigned long v = strtoul(s, &end, 10);
    if (errno || *end || v > max)
        return -1;
    *out = v;
    return 0;
}

static int cmd_init(int argc, char **argv, const char *path)
{
    static const struct option opts[] = {{"nodes", required_argument, NULL, 'n'},
                                         {"boot-delay", required_argument, NULL, 'b'},
                                         {"shared", no_argument, NULL, 's'},
                                         {"force", no_argument, NULL, 'f'},
                                         {"hosts", required_argument, NULL, 'H'},
                                         {"ssh-config", required_argument, NULL, 'F'},
                                         {"power-command", required_argument, NULL, 'P'},
                                         {NULL, 0, NULL, 0}};
    struct cl_params p = {CL_DEFAULT_NODES, CL_DEFAULT_BOOT_DELAY_MS, 0, 0, NULL, NULL, NULL};
    const char *hosts_file = NULL, *config = NULL;
    char config_abs[PATH_MAX];
    struct host_list hosts = {NULL, 0};
    int c, nodes_given = 0;
    optind = 1;
    while ((c = getopt_long(argc, argv, "", opts, NULL)) != -1) {
        switch (c) {
        case 'n': {
            unsigned long v;
            if (parse_uint(optarg, CL_MAX_NODES, &v) < 0) {
                fprintf(stderr, "vornemu: invalid node count: %s\n", optarg);
                return 1;
            }
            p.nnodes = (uint32_t)v;
            nodes_given = 1;
            break;
        }
        case 'H':
            hosts_file = optarg;
            break;
        case 'F':
            config = optarg;
            break;
        case 'P':
            if (!*optarg || strchr(optarg, '\n') || strlen(optarg) >= HOSTS_POWER_MAX) {
                fprintf(stderr, "vornemu: invalid power command: %s\n", optarg);
                return 1;
            }
            p.power = optarg;
            break;
        case 'b': {
            char *end;
            errno = 0;
            double d = strtod(optarg, &end);
            if (errno || end == optarg || *end || !(d >= 0) || d > 3600) {
                fprintf(stderr, "vornemu: invalid boot delay: %s\n", optarg);
                return 1;
            }
            p.boot_delay_ms = (uint32_t)(d * 1000 + 0.5);
            break;
        }
        case 's':
            p.shared = 1;
            break;
        case 'f':
            p.force = 1;
            break;
        default:
            usage_hint();
            return 1;
        }
    }
    if (optind < argc) {
        fprintf(stderr, "vornemu: unexpected argument: %s\n", argv[optind]);
        usage_hint();
        return 1;
    }
    if (!hosts_file && (config || p.power)) {
        fprintf(stderr, "vornemu: --ssh-config and --power-command need --hosts\n");
        usage_hint();
        return 1;
    }
    if (hosts_file && nodes_given) {
        fprintf(stderr,
                "vornemu: --nodes and --hosts do not go together: the hosts are the nodes\n");
        usage_hint();
        return 1;
    }
    if (config) {
        /* Kept by its full name: the tools run from any directory. */
        if (!realpath(config, config_abs) || access(config_abs, R_OK) < 0) {
            fprintf(stderr, "vornemu: %s: %s\n", config, strerror(errno));
            return 1;
        }
        if (strlen(config_abs) >= HOSTS_CONFIG_MAX) {
            fprintf(stderr, "vornemu: %s: %s\n", config, strerror(ENAMETOOLONG));
            return 1;
        }
        p.ssh_config = config_abs;
    }
    if (hosts_file) {
        char err[4400];
        if (hosts_parse(hosts_file, &hosts, err, sizeof err) < 0) {
            fprintf(stderr, "vornemu: %s\n", err);
            return 1;
        }
        p.hosts = &hosts;
        p.nnodes = (uint32_t)hosts.count;
    }
    int made = cluster_create(path, &p);
    hosts_free(&hosts);
    if (made < 0) {
        if (errno == EEXIST || errno == ENOTEMPTY)
            fprintf(stderr, "vornemu: %s: a cluster exists (--force replaces it)\n", path);
        else if (errno == EPERM && p.shared)
            fprintf(stderr, "vornemu: %s: only root makes a shared cluster\n", path);
        else
            fprintf(stderr, "vornemu: %s: %s\n", path, strerror(errno));
        return 1;
    }
    struct cluster cl;
    if (cluster_open(path, &cl) < 0)
        return fail_cluster(path);
    print_summary(path, &cl.hdr);
    cluster_close(&cl);
    return 0;
}

static int proc_cmp(const void *a, const void *b)
{
    const struct cl_proc *x = (const struct cl_proc *)a, *y = (const struct cl_proc *)b;
    if (x->node != y->node)
        return x->node < y->node ? -1 : 1;
    return x->pid < y->pid ? -1 : x->pid > y->pid;
}

/* User or group name of an id, else the number; the last answer is
 * kept, since neighbouring nodes mostly share owners. */
static void id_name(char *buf, size_t size, uint32_t id, int group)
{
    static char last[2][64];
    static uint32_t last_id[2];
    static int known[2];
    if (known[group] && last_id[group] == id) {
        snprintf(buf, size, "%s", last[group]);
        return;
    }
    const char *name = NULL;
    if (group) {
        struct group *g = getgrgid((gid_t)id);
        name = g ? g->gr_name : NULL;
    } else {
        struct passwd *p = getpwuid((uid_t)id);
        name = p ? p->pw_name : NULL;
    }
    if (name)
        snprintf(last[group], sizeof last[group], "%s", name);
    else
        snprintf(last[group], sizeof last[group], "%u", id);
    last_id[group] = id;
    known[group] = 1;
    snprintf(buf, size, "%s", last[group]);
}

/* One row of the node table; procs is sorted by node, *next walks it. */
static void print_row(const char *node, int state, uint32_t mode, uint32_t user, uint32_t group,
                      uint32_t addr, const struct cl_proc *procs, int nprocs, int *next,
                      int nodenum)
{
    char u[64], g[64], a[INET_ADDRSTRLEN];
    id_name(u, sizeof u, user, 0);
    id_name(g, sizeof g, group, 1);
    inet_ntop(AF_INET, &addr, a, sizeof a);
    if (*next >= nprocs || procs[*next].node != nodenum) {
        printf("%-7s %-11s %04o  %-8s %-8s %s\n", node, state_names[state], mode, u, g, a);
        return;
    }
    printf("%-7s %-11s %04o  %-8s %-8s %-15s", node, state_names[state], mode, u, g, a);
    for (int first = 1; *next < nprocs && procs[*next].node == nodenum; ++*next, first = 0)
        printf("%s%d", first ? " " : ",", procs[*next].pid);
    printf("\n");
}

struct show_rows {
    const struct cl_proc *procs;
    int nprocs;
    int next;
    int64_t now;
};

static int show_row(void *ctx, int node, const struct cl_node *n)
{
    struct show_rows *r = (struct show_rows *)ctx;
    char name[16];
    snprintf(name, sizeof name, "%d", node);
    print_row(name, node_effective_state(n, r->now), n->mode, n->user, n->group, n->addr, r->procs,
              r->nprocs, &r->next, node);
    return 0;
}

static int cmd_show(const char *path)
{
    struct cluster cl;
    struct cl_proc *procs = NULL;
    int rc = 1, next = 0;
    if (cluster_open(path, &cl) < 0)
        return fail_cluster(path);
    /* The lock is held only while reading, a chunk at a time, never while
     * writing to standard output: a pager that stops reading must not
     * stop every change to the cluster. */
    if (cluster_lock(&cl, 0) < 0) {
        fail_cluster(path);
        goto out;
    }
    {
        int nprocs = procs_placed(&cl, PROCS_ALL, &procs, 0);
        cluster_unlock(&cl);
        if (nprocs < 0) {
            fail_cluster(path);
            goto out;
        }
        if (nprocs)
            qsort(procs, (size_t)nprocs, sizeof *procs, proc_cmp);
        print_summary(path, &cl.hdr);
        printf("NODE    STATE       MODE  USER     GROUP    ADDRESS         PROCESSES\n");
        print_row("master", 4, 0111, 0, 0, cl.hdr.master_addr, procs, 0, &next, -1);
        struct show_rows rows = {procs, nprocs, 0, now_us()};
        if (node_scan(&cl, show_row, &rows) < 0) {
            fflush(stdout);
            fail_cluster(path);
            goto out;
        }
    }
    rc = 0;
out:
    free(procs);
    cluster_close(&cl);
    return rc;
}

/* One journal being read for the merge. */
struct jsource {
    FILE *f;
    uid_t owner; /* lines of a user's journal are believed only in their name */
    int user;
    char *line;
    size_t cap;
    ssize_t len; /* -1: at its end */
    long long sec, usec;
    long lines; /* --tail: the lines from where it starts */
};

/* The next believed line of a journal, with its time. */
static void jsource_next(struct jsource *s)
{
    for (;;) {
        s->len = s->f ? getline(&s->line, &s->cap, s->f) : -1;
        if (s->len < 0)
            return;
        char *p = s->line, *end;
        s->sec = strtoll(p, &end, 10);
        s->usec = *end == '.' ? strtoll(end + 1, &end, 10) : 0;
        if (!s->user)
            return;
        char *tab = strchr(p, '\t');
        if (tab && strtoul(tab + 1, &end, 10) == (unsigned long)s->owner && *end == '\t')
            return;
    }
}

/* Moves fd to the start of its last n lines (reading back from the end
 * only as far as they go) and counts them. */
static off_t tail_start(int fd, long n, long *count)
{
    char buf[65536];
    struct stat st;
    *count = 0;
    if (fstat(fd, &st) < 0)
        return -1;
    off_t end = st.st_size, pos = end;
    long seen = 0;
    while (pos > 0) {
        size_t len = pos < (off_t)sizeof buf ? (size_t)pos : sizeof buf;
        pos -= (off_t)len;
        if (pread_full(fd, buf, len, pos) != (ssize_t)len)
            return -1;
        for (size_t i = len; i-- > 0;) {
            /* The newline that ends the last line does not start a line. */
            if (buf[i] != '\n' || pos + (off_t)i == end - 1)
                continue;
            if (++seen == n) {
                *count = seen;
                return pos + (off_t)i + 1;
            }
        }
    }
    *count = end > 0 ? seen + 1 : 0;
    return 0;
}

static int jsource_open(struct jsource *s, int fd, uid_t owner, int user, long tail)
{
    memset(s, 0, sizeof *s);
    s->owner = owner;
    s->user = user;
    if (tail >= 0) {
        off_t at = tail_start(fd, tail, &s->lines);
        if (at < 0 || lseek(fd, at, SEEK_SET) < 0)
            return close_keep_errno(fd);
    }
    s->f = fdopen(fd, "r");
    if (!s->f)
        return close_keep_errno(fd);
    jsource_next(s);
    return 0;
}

/* Where add_user_journal adds: cmd_log's list of journals. */
struct user_journals {
    struct cluster *cl;
    struct jsource **src;
    int *nsrc, *cap;
    long tail;
};

/* Adds the journal of the user directory name under users/: only one
 * of a canonical name, the directory uid's, the journal uid's alone. */
static int add_user_journal(void *ctx, const char *name)
{
    const struct user_journals *j = (const struct user_journals *)ctx;
    struct cluster *cl = j->cl;
    struct jsource **src = j->src;
    int *nsrc = j->nsrc, *cap = j->cap;
    long tail = j->tail;
    uid_t uid;
    char used[64];
    struct stat st;
    if (!user_dir_name(name, &uid))
        return 0;
    int ufd = user_dir_open(cl, uid, used, sizeof used);
    if (ufd < 0)
        return 0;
    int jfd = strcmp(used, name) != 0
                  ? -1
                  : openat(ufd, FILE_JOURNAL, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    close(ufd);
    if (jfd < 0)
        return 0;
    if (fstat(jfd, &st) < 0 || !S_ISREG(st.st_mode) || st.st_uid != uid || (st.st_mode & 022)) {
        close(jfd);
        return 0;
    }
    if (*nsrc == *cap) {
        int ncap = *cap * 2;
        struct jsource *g = (struct jsource *)realloc(*src, (size_t)ncap * sizeof *g);
        if (!g) {
            close(jfd);
            return -1;
        }
        *src = g;
        *cap = ncap;
    }
    if (jsource_open(&(*src)[*nsrc], jfd, uid, 1, tail) == 0)
        (*nsrc)++;
    return 0;
}

/* Writes a journal line with every control byte that no writer leaves
 * in a line (all but the tabs between fields and the newline at its end)
 * escaped: a line planted in a user's own journal cannot move the cursor
 * over another. */
static void line_print(const char *line, ssize_t len)
{
    for (ssize_t i = 0; i < len; i++) {
        unsigned char c = (unsigned char)line[i];
        if ((c < 0x20 && c != '\t' && !(c == '\n' && i == len - 1)) || c == 0x7f)
            printf("\\x%02x", c);
        else
            putchar(c);
    }
}

/* The journal is the cluster's own plus, in a shared cluster, one per
 * other user; printed merged by time.  With tail >= 0, the last tail
 * lines only, read from the end. */
static int cmd_log(const char *path, long tail)
{
    struct cluster cl;
    int nsrc = 0, cap = 16, rc = 1;
    struct jsource *src = (struct jsource *)malloc((size_t)cap * sizeof *src);
    if (!src)
        return fail_cluster(path);
    if (cluster_open(path, &cl) < 0) {
        free(src);
        return fail_cluster(path);
    }
    int fd = cluster_journal_open(&cl, O_RDONLY);
    if (fd < 0 || jsource_open(&src[nsrc++], fd, 0, 0, tail) < 0) {
        fail_cluster(path);
        cluster_close(&cl);
        free(src);
        return 1;
    }
    if (cl.users_fd >= 0) {
        struct user_journals uj = {&cl, &src, &nsrc, &cap, tail};
        dir_each(cl.users_fd, add_user_journal, &uj);
    }
    /* --tail: the last lines of the merge, kept in a ring; a believed
     * line is among the last of its own journal. */
    long ring_size = 0, kept = 0;
    char **ring = NULL;
    if (tail > 0) {
        for (int i = 0; i < nsrc; i++)
            ring_size += src[i].lines;
        ring_size = ring_size < tail ? ring_size : tail;
        ring = (char **)calloc(ring_size ? (size_t)ring_size : 1, sizeof *ring);
        if (!ring) {
            fail_cluster(path);
            tail = 0;
        }
    }
    for (;;) {
        struct jsource *first = NULL;
        for (int i = 0; i < nsrc; i++)
            if (src[i].len >= 0 && (!first || src[i].sec < first->sec ||
                                    (src[i].sec == first->sec && src[i].usec < first->usec)))
                first = &src[i];
        if (!first)
            break;
        if (tail < 0) {
            line_print(first->line, first->len);
        } else if (ring_size > 0) {
            char **slot = &ring[kept++ % ring_size];
            free(*slot);
            *slot = strdup(first->line);
        }
        jsource_next(first);
    }
    for (long i = kept > ring_size ? kept - ring_size : 0; i < kept; i++)
        if (ring[i % ring_size])
            line_print(ring[i % ring_size], (ssize_t)strlen(ring[i % ring_size]));
    for (long i = 0; i < ring_size; i++)
        free(ring[i]);
    free(ring);
    rc = 0;
    for (int i = 0; i < nsrc; i++) {
        if (src[i].f && ferror(src[i].f)) {
            fflush(stdout);
            fail_cluster(path);
            rc = 1;
        }
        if (src[i].f)
            fclose(src[i].f);
        free(src[i].line);
    }
    free(src);
    cluster_close(&cl);
    return rc;
}

static int cmd_fail(int argc, char **argv, const char *path)
{
    if (argc < 4 || argc > 5) {
        fprintf(stderr, "vornemu: fail needs FUNCTION NODE|any ERRNO [COUNT]\n");
        usage_hint();
        return 1;
    }
    struct cl_fault f;
    memset(&f, 0, sizeof f);
    if (!function_known(argv[1])) {
        fprintf(stderr, "vornemu: unknown library function: %s\n", argv[1]);
        return 1;
    }
    snprintf(f.fn, sizeof f.fn, "%s", argv[1]);
    struct cluster cl;
    if (cluster_open(path, &cl) < 0)
        return fail_cluster(path);
    int rc = 1;
    if (strcmp(argv[2], "any") == 0) {
        f.node = FAULT_ANY_NODE;
    } else {
        char *end;
        errno = 0;
        long v = strtol(argv[2], &end, 10);
        if (errno || end == argv[2] || *end || v < -1 || v >= (long)cl.hdr.nnodes) {
            fprintf(stderr, "vornemu: invalid node: %s\n", argv[2]);
            goto out;
        }
        if (!function_has_node(argv[1])) {
            fprintf(stderr, "vornemu: %s takes no node: use any\n", argv[1]);
            goto out;
        }
        f.node = (int32_t)v;
    }
    f.err = errno_parse(argv[3]);
    if (f.err <= 0) {
        fprintf(stderr, "vornemu: invalid error number: %s\n", argv[3]);
        goto out;
    }
    f.count = FAULT_FOREVER;
    if (argc == 5) {
        unsigned long v;
        if (parse_uint(argv[4], 0x7fffffff, &v) < 0 || v == 0) {
            fprintf(stderr, "vornemu: invalid count: %s\n", argv[4]);
            goto out;
        }
        f.count = (int32_t)v;
    }
    if (fault_add(&cl, &f) < 0) {
        fail_cluster(path);
        goto out;
    }
    rc = 0;
out:
    cluster_close(&cl);
    return rc;
}

static int cmd_heal(const char *path)
{
    struct cluster cl;
    if (cluster_open(path, &cl) < 0)
        return fail_cluster(path);
    int rc = fault_clear(&cl) < 0 ? fail_cluster(path) : 0;
    cluster_close(&cl);
    return rc;
}

static int not_hosts(const char *path)
{
    fprintf(stderr, "vornemu: %s: the nodes are not hosts\n", path);
    return 1;
}

/* A connection's outcome: failures on their own line; on a terminal, a
 * progress line that the next one overwrites. */
struct connect_progress {
    int done, total, failed, tty;
};

static void connect_report(void *ctx, int node, const char *dest, int err, const char *why)
{
    struct connect_progress *p = (struct connect_progress *)ctx;
    p->done++;
    if (p->tty)
        fputs("\r\033[K", stderr);
    if (err) {
        p->failed++;
        fprintf(stderr, "vornemu: node %d (%s): %s\n", node, dest,
                why && *why ? why : strerror(err));
    }
    if (p->tty)
        fprintf(stderr, "connecting: %d of %d, %d failed", p->done, p->total, p->failed);
}

static int cmd_connect(const char *path)
{
    struct cluster cl;
    if (cluster_open(path, &cl) < 0)
        return fail_cluster(path);
    if (!hosts_cluster(&cl)) {
        cluster_close(&cl);
        return not_hosts(path);
    }
    struct connect_progress p = {0, (int)cl.hdr.nnodes, 0, isatty(2)};
    int failed = ssh_connect_all(&cl, 32, connect_report, &p);
    if (p.tty)
        fputs("\r\033[K", stderr);
    if (failed < 0)
        fail_cluster(path);
    cluster_close(&cl);
    return failed != 0;
}

/* disconnect ends our masters of a cluster of hosts; destroy ends them
 * too, before the cluster goes. */
static int cmd_disconnect(const char *path, int destroy)
{
    struct cluster cl;
    if (cluster_open(path, &cl) == 0) {
        int hosts = hosts_cluster(&cl);
        if (hosts)
            ssh_disconnect_all(&cl);
        cluster_close(&cl);
        if (!hosts && !destroy)
            return not_hosts(path);
    } else if (!destroy) {
        return fail_cluster(path);
    }
    if (destroy && cluster_destroy(path) < 0)
        return fail_cluster(path);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        fputs(usage_text, stderr);
        return 1;
    }
    const char *cmd = argv[1];
    if (strcmp(cmd, "-h") == 0 || strcmp(cmd, "--help") == 0) {
        fputs(usage_text, stdout);
        return 0;
    }
    const char *path = cluster_path_from_env();
    if (strcmp(cmd, "init") == 0)
        return cmd_init(argc - 1, argv + 1, path);
    if (strcmp(cmd, "log") == 0 && argc == 4 && strcmp(argv[2], "--tail") == 0) {
        unsigned long n;
        if (parse_uint(argv[3], 0x7fffffff, &n) < 0) {
            fprintf(stderr, "vornemu: invalid line count: %s\n", argv[3]);
            return 1;
        }
        return cmd_log(path, (long)n);
    }
    if (argc > 2 && strcmp(cmd, "fail") != 0) {
        fprintf(stderr, "vornemu: unexpected argument: %s\n", argv[2]);
        usage_hint();
        return 1;
    }
    if (strcmp(cmd, "show") == 0)
        return cmd_show(path);
    if (strcmp(cmd, "log") == 0)
        return cmd_log(path, -1);
    if (strcmp(cmd, "fail") == 0)
        return cmd_fail(argc - 1, argv + 1, path);
    if (strcmp(cmd, "heal") == 0)
        return cmd_heal(path);
    if (strcmp(cmd, "check") == 0) {
        struct cluster cl;
        if (cluster_open(path, &cl) < 0)
            return fail_cluster(path);
        int problems = cluster_check(&cl);
        cluster_close(&cl);
        if (fflush(stdout) != 0 || ferror(stdout)) {
            fprintf(stderr, "vornemu: write error: %s\n", strerror(errno));
            return 1;
        }
        return problems ? 1 : 0;
    }
    if (strcmp(cmd, "connect") == 0)
        return cmd_connect(path);
    if (strcmp(cmd, "disconnect") == 0 || strcmp(cmd, "destroy") == 0)
        return cmd_disconnect(path, strcmp(cmd, "destroy") == 0);
    fprintf(stderr, "vornemu: unknown command: %s\n", cmd);
    usage_hint();
    return 1;
}

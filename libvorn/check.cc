/* check.cc - vornemu check: reads the whole cluster (header, node records,
 * tables, placement records, journals, the marker of a change cut short)
 * and reports each inconsistency on a line of its own. */
#include "cluster.h"
#include "hosts.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

struct checker {
    struct cluster *cl;
    const char *where; /* the placed/ directory being read */
    int problems;
};

static void report(struct checker *c, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
static void report(struct checker *c, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    putchar('\n');
    c->problems++;
}

static int check_record(void *ctx, const char *name, const struct cl_proc *p)
{
    struct checker *c = (struct checker *)ctx;
    size_t len = strlen(name);
    if (len > 4 && strcmp(name + len - 4, ".new") == 0) {
        report(c, "%s/%s: a record left aside by a writer that was killed", c->where, name);
    } else if (!p) {
        report(c, "%s/%s: not a placement record", c->where, name);
    } else if ((int64_t)p->node >= (int64_t)c->cl->hdr.nnodes) {
        report(c, "%s/%s: node %d is outside the cluster", c->where, name, (int)p->node);
    }
    return 0;
}

/* Each line: SECONDS.MICROS, EUID (the owner's, in a user's journal), a
 * library function, a node of the cluster or "-", the argument, "0" or an
 * error; whole, ended by a newline. */
static void check_journal(struct checker *c, int fd, const char *name, long owner)
{
    FILE *f = fdopen(fd, "r");
    char *line = NULL;
    size_t cap = 0;
    ssize_t len;
    long no = 0;
    if (!f) {
        close(fd);
        return;
    }
    while ((len = getline(&line, &cap, f)) > 0) {
        no++;
        char *fields[7] = {NULL};
        int n = 0;
        int whole = line[len - 1] == '\n';
        if (whole)
            line[len - 1] = 0;
        for (char *p = line; n < 7; n++) {
            fields[n] = p;
            p = strchr(p, '\t');
            if (!p) {
                n++;
                break;
            }
            *p++ = 0;
        }
        char *end;
        const char *bad = NULL;
        if (!whole)
            bad = "cut short";
        else if (n != 6 || strspn(fields[0], "0123456789.") != strlen(fields[0]) ||
                 !strchr(fields[0], '.') || !*fields[1] ||
                 strspn(fields[1], "0123456789") != strlen(fields[1]))
            bad = "not a journal line";
        else if (owner >= 0 && strtol(fields[1], NULL, 10) != owner)
            bad = "in another user's name";
        else if (!function_known(fields[2]))
            bad = "an unknown function";
        else if (strcmp(fields[3], "-") != 0 &&
                 (strtol(fields[3], &end, 10) < -1 || *end || !*fields[3] ||
                  strtol(fields[3], NULL, 10) >= (long)c->cl->hdr.nnodes))
            bad = "a node outside the cluster";
        else if (strcmp(fields[5], "0") != 0 && errno_parse(fields[5]) < 0)
            bad = "an unknown result";
        if (bad)
            report(c, "%s:%ld: %s", name, no, bad);
    }
    free(line);
    fclose(f);
}

static void check_placed(struct checker *c, int dirfd, const char *where)
{
    c->where = where;
    if (records_each(dirfd, check_record, c) < 0)
        report(c, "%s: cannot be read: %s", where, strerror(errno));
}

/* The placement records and journal of the directory name under users/. */
static int check_user(void *ctx, const char *name)
{
    struct checker *c = (struct checker *)ctx;
    uid_t uid;
    char used[64], where[400];
    int ufd = user_dir_name(name, &uid) ? user_dir_open(c->cl, uid, used, sizeof used) : -1;
    if (ufd < 0 || strcmp(used, name) != 0) {
        report(c, USERS_DIR "/%s: not the directory of the user it names (ignored)", name);
        if (ufd >= 0)
            close(ufd);
        return 0;
    }
    int pfd = openat(ufd, FILE_PLACED, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    snprintf(where, sizeof where, USERS_DIR "/%s/" FILE_PLACED, name);
    if (pfd >= 0) {
        check_placed(c, pfd, where);
        close(pfd);
    }
    int j = openat(ufd, FILE_JOURNAL, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    snprintf(where, sizeof where, USERS_DIR "/%s/" FILE_JOURNAL, name);
    if (j >= 0)
        check_journal(c, j, where, (long)uid);
    close(ufd);
    return 0;
}

int cluster_check(struct cluster *cl)
{
    struct checker c = {cl, NULL, 0};
    /* The node records, a chunk at a time; a damaged chunk record by record. */
    struct cl_node chunk[NODE_CHUNK];
    for (uint32_t first = 0; first < cl->hdr.nnodes; first += NODE_CHUNK) {
        int k = cl->hdr.nnodes - first < NODE_CHUNK ? (int)(cl->hdr.nnodes - first) : NODE_CHUNK;
        if (node_read_range(cl, (int)first, k, chunk) == 0)
            continue;
        for (int i = 0; i < k; i++)
            if (node_read(cl, (int)first + i, chunk) < 0)
                report(&c, "nodes: node %ld: damaged record", (long)first + i);
    }
    struct cl_fault *f = NULL;
    if (fault_list(cl, &f) < 0)
        report(&c, "faults: %s", errno == EIO ? "damaged table" : strerror(errno));
    free(f);
    char *libs = NULL;
    size_t len;
    if (libs_load(cl, &libs, &len) < 0)
        report(&c, "libs: %s", errno == EIO ? "damaged list" : strerror(errno));
    free(libs);
    uint32_t magic = 0;
    if (cl->lock_fd >= 0 && pread(cl->lock_fd, &magic, sizeof magic, 0) == sizeof magic && magic)
        report(&c, "lock: a change was cut short (the next change finishes it)");
    if (hosts_cluster(cl))
        c.problems += hosts_check(cl);
    check_placed(&c, cl->placed_fd, FILE_PLACED);
    int jfd = cluster_journal_open(cl, O_RDONLY);
    if (jfd < 0)
        report(&c, "journal: %s", strerror(errno));
    else
        check_journal(&c, jfd, FILE_JOURNAL, -1);
    if (cl->users_fd < 0)
        return c.problems;
    /* Other users' directories: one per user, theirs alone; anything else
     * under users/ is ignored by every call, and reported here. */
    if (dir_each(cl->users_fd, check_user, &c) < 0)
        report(&c, USERS_DIR ": %s", strerror(errno));
    return c.problems;
}

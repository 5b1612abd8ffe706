/* journal.cc - the journal: one line per call that changes the cluster or
 * places a process, written whole under the change's lock before the
 * change, and the marker that lets the next holder of the lock finish a
 * change cut short. */
#include "cluster.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

/* The marker at the start of a lock file while a change is under way:
 * the journal offset and length of its line and what the change does.
 * The chroot directory, table name or placed/ directory follows, then the
 * records of a placement. */
#define PENDING_MAGIC 0x444e5056u
struct cl_pending {
    uint32_t magic;
    uint32_t kind;
    int64_t journal_off;
    uint32_t line_len;
    int32_t node;
    uint32_t text_len; /* with its NUL */
    uint32_t nprocs;   /* REDO_RECORDS: records that follow; REDO_NODE: 1 to kill */
    struct cl_node rec;
};
static_assert(sizeof(struct cl_pending) == 80, "marker layout, the same on i386 and x86-64");

/* Our journal and the lock that guards it: 0 when we have none. */
static int writer_fds(struct cluster *cl, int *lockfd, int *jfd)
{
    if (cl->lock_rw && cl->journal_fd >= 0) {
        *lockfd = cl->lock_fd;
        *jfd = cl->journal_fd;
        return 1;
    }
    if (!cl->lock_rw && cl->ulock_fd >= 0 && cl->ujournal_fd >= 0) {
        *lockfd = cl->ulock_fd;
        *jfd = cl->ujournal_fd;
        return 1;
    }
    return 0;
}

int journal_ours(struct cluster *cl)
{
    int lockfd, jfd;
    if (!cl)
        return 0;
    if (!cl->lock_rw && cluster_user_files(cl) < 0)
        return 0;
    return writer_fds(cl, &lockfd, &jfd);
}

static void marker_clear(int lockfd)
{
    static const uint32_t zero = 0;
    int saved = errno;
    /* The first word of a block already written: this cannot run out of room. */
    if (pwrite(lockfd, &zero, sizeof zero, 0) != (ssize_t)sizeof zero) {
    }
    errno = saved;
}

int change_lock(struct cluster *cl)
{
    if (cl->lock_rw)
        return cluster_lock(cl, 1);
    /* Another user of a shared cluster needs their own lock alone: a
     * placement of theirs never waits for root's changes, nor they for it. */
    if (cluster_user_files(cl) < 0)
        return -1;
    if (cl->ulock_fd < 0) {
        errno = EACCES; /* another user's private cluster */
        return -1;
    }
    if (qlock_take(&cl->ulk, cl->ulock_fd) < 0)
        return -1;
    if (journal_recover(cl, cl->ulock_fd, cl->ujournal_fd) < 0) {
        change_unlock(cl);
        return -1;
    }
    return 0;
}

void change_unlock(struct cluster *cl)
{
    if (!cl->lock_rw)
        qlock_drop(&cl->ulk);
    cluster_unlock(cl);
}

/* Appends text to a line buffer with tab, newline and backslash escaped,
 * and every other control byte as \xHH: a line never moves the cursor. */
static size_t escape_into(char *out, size_t pos, size_t size, const char *s)
{
    static const char hex[] = "0123456789abcdef";
    for (; *s && pos + 5 < size; s++) {
        unsigned char c = (unsigned char)*s;
        if (c == '\t' || c == '\n' || c == '\\') {
            out[pos++] = '\\';
            out[pos++] = c == '\t' ? 't' : c == '\n' ? 'n' : '\\';
        } else if (c < 0x20 || c == 0x7f) {
            out[pos++] = '\\';
            out[pos++] = 'x';
            out[pos++] = hex[c >> 4];
            out[pos++] = hex[c & 15];
        } else {
            out[pos++] = (char)c;
        }
    }
    return pos;
}

static size_t line_format(char *line, size_t size, const struct cl_line *l, int err)
{
    char nodebuf[16], res[32];
    int64_t t = now_us();
    if (l->has_node)
        snprintf(nodebuf, sizeof nodebuf, "%d", l->node);
    else
        strcpy(nodebuf, "-");
    const char *name = err ? errno_name(err) : "0";
    if (name)
        snprintf(res, sizeof res, "%s", name);
    else
        snprintf(res, sizeof res, "%d", err);
    int len = snprintf(line, size, "%lld.%06lld\t%u\t%s\t%s\t", (long long)(t / 1000000),
                       (long long)(t % 1000000), (unsigned)geteuid(), l->fn, nodebuf);
    size_t pos = escape_into(line, (size_t)len, size - 64, l->arg && *l->arg ? l->arg : "-");
    pos += (size_t)snprintf(line + pos, size - pos, "\t%s\n", res);
    return pos;
}

int change_line(struct cluster *cl, const struct cl_line *l, int err, const struct cl_redo *redo)
{
    int lockfd, jfd;
    char line[2 * CL_NAME_MAX + 512];
    char *mark = NULL;
    if (!writer_fds(cl, &lockfd, &jfd))
        return 0;
    size_t len = line_format(line, sizeof line, l, err);
    /* We hold the journal's lock: its end is where our line goes. */
    off_t off = lseek(jfd, 0, SEEK_END);
    if (off < 0)
        return -1;
    cl->line_off = off;
    cl->pending = redo && redo->kind != REDO_NONE;
    if (cl->pending) {
        size_t text_len = redo->text ? strlen(redo->text) + 1 : 0;
        size_t nrec = redo->kind == REDO_RECORDS ? (size_t)redo->nprocs : 0;
        size_t kills = nrec * sizeof *redo->procs;
        size_t size = sizeof(struct cl_pending) + text_len + kills;
        mark = (char *)calloc(1, size);
        if (!mark)
            return -1;
        struct cl_pending *p = (struct cl_pending *)mark;
        p->magic = PENDING_MAGIC;
        p->kind = (uint32_t)redo->kind;
        p->journal_off = off;
        p->line_len = (uint32_t)len;
        p->node = redo->node;
        p->text_len = (uint32_t)text_len;
        p->nprocs = (uint32_t)redo->nprocs;
        p->rec = redo->rec;
        if (text_len)
            memcpy(mark + sizeof *p, redo->text, text_len);
        if (kills)
            memcpy(mark + sizeof *p + text_len, redo->procs, kills);
        int rc = write_full(lockfd, mark, size, 0);
        free(mark);
        if (rc < 0) {
            int saved = errno;
            marker_clear(lockfd);
            cl->pending = 0;
            errno = saved;
            return -1;
        }
    }
    /* The line of a change that a power loss must keep (a node record,
     * the faults, the library list) reaches the disk before the change;
     * placements do not outlive the machine, so their lines are not synced. */
    int durable = redo && redo->kind != REDO_NONE && redo->kind != REDO_RECORDS;
    if (write_full(jfd, line, len, -1) < 0 || (durable && fdatasync(jfd) < 0)) {
        int saved = errno;
        change_undo(cl);
        errno = saved;
        return -1;
    }
    return 0;
}

void change_undo(struct cluster *cl)
{
    int lockfd, jfd, saved = errno;
    if (!writer_fds(cl, &lockfd, &jfd))
        return;
    if (ftruncate(jfd, cl->line_off) < 0) {
    }
    if (cl->pending)
        marker_clear(lockfd);
    cl->pending = 0;
    errno = saved;
}

void change_done(struct cluster *cl)
{
    int lockfd, jfd;
    if (cl->pending && writer_fds(cl, &lockfd, &jfd))
        marker_clear(lockfd);
    cl->pending = 0;
}

int journal_append(struct cluster *cl, const struct cl_line *l, int err)
{
    int saved = errno;
    if (!journal_ours(cl))
        return 0;
    if (change_lock(cl) < 0)
        return -1;
    int rc = change_line(cl, l, err, NULL);
    change_unlock(cl);
    if (rc == 0)
        errno = saved;
    return rc;
}

int journal_recover(struct cluster *cl, int lockfd, int jfd)
{
    struct cl_pending p;
    struct stat st;
    char *tail = NULL;
    int rc = -1;
    if (pread_full(lockfd, &p, sizeof p, 0) != (ssize_t)sizeof p || p.magic != PENDING_MAGIC)
        return 0;
    if (p.kind > REDO_RECORDS || p.text_len > CL_CHROOT_SLOT + 64 || p.nprocs > (1u << 20) ||
        p.journal_off < 0 || jfd < 0 || fstat(jfd, &st) < 0 ||
        (p.kind == REDO_RECORDS && p.text_len == 0)) {
        errno = EIO;
        return -1;
    }
    size_t nrec = p.kind == REDO_RECORDS ? p.nprocs : 0;
    size_t tail_len = p.text_len + nrec * sizeof(struct cl_proc);
    tail = (char *)malloc(tail_len + 1);
    if (!tail)
        return -1;
    if (pread_full(lockfd, tail, tail_len, sizeof p) != (ssize_t)tail_len ||
        (p.text_len && tail[p.text_len - 1] != 0) ||
        ((p.kind == REDO_NODE || p.kind == REDO_CHROOT) &&
         (p.node < 0 || (uint32_t)p.node >= cl->hdr.nnodes))) {
        errno = EIO;
        goto out;
    }
    {
        /* The line stands: finish its change.  A change that cannot be
         * finished (no room for the node's record) is not made, and its
         * line is taken back like a line cut short. */
        int done = st.st_size >= p.journal_off + (off_t)p.line_len;
        char aside[512];
        snprintf(aside, sizeof aside, "%s.new", p.kind == REDO_TABLE ? tail : "");
        /* The records follow the text unaligned: each is copied out. */
        const char *recs = tail + p.text_len;
        if (done && p.kind == REDO_NODE) {
            done = node_write(cl, p.node, &p.rec) == 0;
            if (done && p.nprocs)
                procs_kill_node(cl, p.node);
        } else if (done && p.kind == REDO_CHROOT) {
            done = chroot_write(cl, p.node, tail) == 0;
        } else if (done && p.kind == REDO_TABLE) {
            done = renameat(cl->dirfd, aside, cl->dirfd, tail) == 0 || errno == ENOENT;
        } else if (done && p.kind == REDO_RECORDS) {
            for (size_t i = 0; i < nrec; i++) {
                char from[4300], to[4200];
                struct cl_proc r;
                memcpy(&r, recs + i * sizeof r, sizeof r);
                snprintf(to, sizeof to, "%s/%d", tail, (int)r.pid);
                snprintf(from, sizeof from, "%s.new", to);
                if (renameat(cl->dirfd, from, cl->dirfd, to) < 0 && errno != ENOENT)
                    goto out;
            }
        }
        if (!done) {
            if (st.st_size > p.journal_off && ftruncate(jfd, p.journal_off) < 0)
                goto out;
            if (p.kind == REDO_TABLE)
                unlinkat(cl->dirfd, aside, 0);
        }
        if (!done || p.kind == REDO_RECORDS) {
            /* What was left aside goes: a record is only ever renamed
             * into place under this lock. */
            for (size_t i = 0; i < nrec; i++) {
                char from[4200];
                struct cl_proc r;
                memcpy(&r, recs + i * sizeof r, sizeof r);
                snprintf(from, sizeof from, "%s/%d.new", tail, (int)r.pid);
                unlinkat(cl->dirfd, from, 0);
            }
        }
    }
    marker_clear(lockfd);
    rc = 0;
out:
    free(tail);
    return rc;
}

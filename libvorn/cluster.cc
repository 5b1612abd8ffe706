/* cluster.cc - the emulated cluster's state directory: creating, opening
 * and validating it, locking, node records, faults, journal, processes. */
#include "cluster.h"

#include <vorn/vorn.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

static_assert(sizeof(struct cl_header) == 40, "header layout");
static_assert(sizeof(struct cl_node) == CL_RECORD_SIZE, "node record layout");
static_assert(offsetof(struct cl_node, deadline_us) == 40, "deadline at 40");
static_assert(sizeof(struct cl_proc) == 16, "process record layout");
static_assert(sizeof(struct cl_fault) == 56, "fault record layout");

/* The files of a cluster directory. */
static const char FILE_NODES[] = "nodes";
static const char FILE_LOCK[] = "lock";
static const char FILE_JOURNAL[] = "journal";
static const char FILE_FAULTS[] = "faults";
static const char FILE_PROCS[] = "procs";
static const char FILE_LIBS[] = "libs";
static const char FILE_CHROOT[] = "chroot";

struct fn_entry {
    const char *name;
    int has_node;
};

/* Every library function that a fault can be armed for. */
static const struct fn_entry functions[] = {
    {"vorn_numnodes", 0},
    {"vorn_currnode", 0},
    {"vorn_nodestatus", 1},
    {"vorn_nodeinfo", 1},
    {"vorn_nodelist", 0},
    {"vorn_proclist", 1},
    {"vorn_pidnode", 0},
    {"vorn_getnodebyname", 0},
    {"vorn_nodenumber", 0},
    {"vorn_masteraddr", 0},
    {"vorn_nodeaddr", 1},
    {"vorn_access", 1},
    {"vorn_version", 0},
    {"vorn_notifier", 0},
    {"vorn_nodesetstatus", 1},
    {"vorn_nodechroot", 1},
    {"vorn_nodereboot", 1},
    {"vorn_nodehalt", 1},
    {"vorn_nodepwroff", 1},
    {"vorn_nodereboot_async", 1},
    {"vorn_nodehalt_async", 1},
    {"vorn_nodepwroff_async", 1},
    {"vorn_nodecachepurgefail", 1},
    {"vorn_nodecachepurgeok", 1},
    {"vorn_noderemaster", 1},
    {"vorn_nodeorphan", 1},
    {"vorn_nodepolicy", 1},
    {"vorn_set_r2c", 1},
    {"vorn_nodereconnect", 1},
    {"vorn_chmod", 1},
    {"vorn_chown", 1},
    {"vorn_chgrp", 1},
    {"vorn_rexec_io", 1},
    {"vorn_execmove_io", 1},
    {"_vorn_move_io", 1},
    {"_vorn_rfork_io", 1},
    {"_vorn_vrfork_io", 0},
    {"vorn_dump", 0},
    {"vorn_undump", 0},
    {"vorn_execdump", 0},
    {"vorn_libclear", 0},
    {"vorn_libadd", 0},
    {"vorn_libdel", 0},
    {"vorn_liblist", 0},
    {"vorn_requestfile", 0},
};

static const struct fn_entry *function_find(const char *fn)
{
    for (size_t i = 0; i < sizeof functions / sizeof functions[0]; i++)
        if (strcmp(functions[i].name, fn) == 0)
            return &functions[i];
    return NULL;
}

int function_known(const char *fn)
{
    return function_find(fn) != NULL;
}

int function_has_node(const char *fn)
{
    const struct fn_entry *e = function_find(fn);
    return e && e->has_node;
}

const char *errno_name(int err)
{
    const char *name = strerrorname_np(err);
    return name ? name : NULL;
}

int errno_parse(const char *text)
{
    char *end;
    if (!text || !*text)
        return -1;
    if (text[0] >= '0' && text[0] <= '9') {
        errno = 0;
        long v = strtol(text, &end, 10);
        if (errno || *end || v <= 0 || v > 4095)
            return -1;
        return (int)v;
    }
    for (int e = 1; e < 4096; e++) {
        const char *name = strerrorname_np(e);
        if (name && strcmp(name, text) == 0)
            return e;
    }
    return -1;
}

int64_t now_us(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

static uint32_t header_checksum(const struct cl_header *h)
{
    /* FNV-1a over the fields before the checksum. */
    const unsigned char *p = (const unsigned char *)h;
    uint32_t x = 2166136261u;
    for (size_t i = 0; i < offsetof(struct cl_header, check); i++) {
        x ^= p[i];
        x *= 16777619u;
    }
    return x;
}

static ssize_t pread_full(int fd, void *buf, size_t len, off_t off)
{
    size_t done = 0;
    while (done < len) {
        ssize_t n = pread(fd, (char *)buf + done, len - done, off + (off_t)done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            break;
        done += (size_t)n;
    }
    return (ssize_t)done;
}

static int pwrite_full(int fd, const void *buf, size_t len, off_t off)
{
    size_t done = 0;
    while (done < len) {
        ssize_t n = pwrite(fd, (const char *)buf + done, len - done, off + (off_t)done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        done += (size_t)n;
    }
    return 0;
}

static int close_keep_errno(int fd)
{
    int saved = errno;
    if (fd >= 0)
        close(fd);
    errno = saved;
    return -1;
}

const char *cluster_default_path(void)
{
    static char buf[64];
    snprintf(buf, sizeof buf, "/tmp/vorn-cluster-%u", (unsigned)geteuid());
    return buf;
}

const char *cluster_path_from_env(void)
{
    const char *p = getenv("VORN_CLUSTER");
    if (!p || !*p)
        return cluster_default_path();
    return p;
}

static int validate_header(const struct cl_header *h, off_t size)
{
    if (memcmp(h->magic, CL_MAGIC, sizeof CL_MAGIC) != 0 || h->format != CL_FORMAT ||
        h->header_size != CL_HEADER_SIZE || h->record_size != CL_RECORD_SIZE ||
        h->nnodes > CL_MAX_NODES || h->check != header_checksum(h)) {
        errno = EIO;
        return -1;
    }
    if (size >= 0 && size != (off_t)CL_HEADER_SIZE + (off_t)h->nnodes * CL_RECORD_SIZE) {
        errno = EIO;
        return -1;
    }
    return 0;
}

static int create_file(int dirfd, const char *name, mode_t mode)
{
    int fd = openat(dirfd, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0)
        return -1;
    if (fchmod(fd, mode) < 0)
        return close_keep_errno(fd);
    return fd;
}

/* Removes the regular files of a cluster directory and the directory. */
static int remove_tree(const char *path)
{
    int dfd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dfd < 0)
        return -1;
    DIR *d = fdopendir(dfd);
    if (!d)
        return close_keep_errno(dfd);
    struct dirent *e;
    while ((e = readdir(d)) != NULL) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        /* A directory in place of a state file goes too, if empty. */
        if (unlinkat(dirfd(d), e->d_name, 0) < 0 && (errno == EISDIR || errno == EPERM))
            unlinkat(dirfd(d), e->d_name, AT_REMOVEDIR);
    }
    closedir(d);
    return rmdir(path);
}

static int check_owner(int fd)
{
    struct stat st;
    if (fstat(fd, &st) < 0)
        return -1;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return -1;
    }
    if ((st.st_uid != geteuid() && st.st_uid != 0) || (st.st_mode & 022)) {
        errno = EACCES;
        return -1;
    }
    return 0;
}

int cluster_create(const char *path, const struct cl_params *p)
{
    static unsigned counter;
    char tmp[4200], old[4200];
    int dfd = -1, fd = -1, rc = -1, made = 0;
    mode_t fmode = p->shared ? 0666 : 0644;

    if (strlen(path) >= 4096) {
        errno = ENAMETOOLONG;
        return -1;
    }
    if (p->nnodes > CL_MAX_NODES) {
        errno = EINVAL;
        return -1;
    }
    /* Built aside and renamed into place: no one sees half a cluster. */
    for (int tries = 0;; tries++) {
        snprintf(tmp, sizeof tmp, "%s.new.%d.%u.%lld", path, (int)getpid(), counter++,
                 (long long)(now_us() % 1000000));
        if (mkdir(tmp, 0700) == 0)
            break;
        if (errno != EEXIST || tries == 100)
            return -1;
    }
    made = 1;
    dfd = open(tmp, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dfd < 0)
        goto out;

    {
        struct cl_header h;
        memset(&h, 0, sizeof h);
        memcpy(h.magic, CL_MAGIC, sizeof CL_MAGIC);
        h.format = CL_FORMAT;
        h.header_size = CL_HEADER_SIZE;
        h.record_size = CL_RECORD_SIZE;
        h.nnodes = p->nnodes;
        h.boot_delay_ms = p->boot_delay_ms;
        h.flags = p->shared ? CL_FLAG_SHARED : 0;
        h.master_addr = htonl(0x7f000001);
        h.check = header_checksum(&h);
        char block[CL_HEADER_SIZE];
        memset(block, 0, sizeof block);
        memcpy(block, &h, sizeof h);
        fd = create_file(dfd, FILE_NODES, fmode);
        if (fd < 0)
            goto out;
        /* Node records start all zero: every node up with the defaults.
         * The file stays sparse until nodes change. */
        if (pwrite_full(fd, block, sizeof block, 0) < 0 ||
            ftruncate(fd, (off_t)CL_HEADER_SIZE + (off_t)p->nnodes * CL_RECORD_SIZE) < 0)
            goto out;
        close(fd);
        fd = -1;
    }
    {
        static const char *const files[] = {FILE_LOCK,  FILE_JOURNAL, FILE_FAULTS,
                                            FILE_PROCS, FILE_LIBS,    FILE_CHROOT};
        for (size_t i = 0; i < sizeof files / sizeof files[0]; i++) {
            fd = create_file(dfd, files[i], fmode);
            if (fd < 0)
                goto out;
            close(fd);
            fd = -1;
        }
    }
    if (fchmod(dfd, 0755) < 0)
        goto out;
    if (rename(tmp, path) == 0) {
        made = 0;
        rc = 0;
        goto out;
    }
    if ((errno != EEXIST && errno != ENOTEMPTY) || !p->force)
        goto out;
    /* --force: replace a cluster of ours. */
    {
        int ofd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (ofd < 0)
            goto out;
        if (check_owner(ofd) < 0) {
            close_keep_errno(ofd);
            goto out;
        }
        close(ofd);
    }
    /* Swap the two at once, so that no call in between finds no cluster
     * (and makes a default one); two renames where the file system
     * cannot swap. */
    if (renameat2(AT_FDCWD, tmp, AT_FDCWD, path, RENAME_EXCHANGE) == 0) {
        remove_tree(tmp);
        made = 0;
        rc = 0;
        goto out;
    }
    if (errno != EINVAL && errno != ENOSYS)
        goto out;
    snprintf(old, sizeof old, "%s.old.%d.%u", path, (int)getpid(), counter++);
    if (rename(path, old) < 0)
        goto out;
    if (rename(tmp, path) < 0)
        goto out;
    made = 0;
    remove_tree(old);
    rc = 0;
out : {
    int saved = errno;
    if (fd >= 0)
        close(fd);
    if (dfd >= 0)
        close(dfd);
    if (made)
        remove_tree(tmp);
    errno = saved;
}
    return rc;
}

/* Takes a freshly opened state file only if it is a regular file: a FIFO,
 * device or directory in its place is damage (EIO), as is a missing file
 * or a symlink.  O_NONBLOCK, with which it was opened so that a FIFO
 * cannot hang the open, is cleared again. */
static int state_fd_check(int fd)
{
    struct stat st;
    if (fd < 0) {
        if (errno == ENOENT || errno == ELOOP || errno == EISDIR || errno == ENXIO ||
            errno == ENODEV || errno == ENOTDIR || errno == ETXTBSY)
            errno = EIO;
        return -1;
    }
    if (fstat(fd, &st) < 0)
        return close_keep_errno(fd);
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        errno = EIO;
        return -1;
    }
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) < 0)
        return close_keep_errno(fd);
    return fd;
}

/* Opens a state file read-write, or read-only for who may not write it. */
static int open_in(int dfd, const char *name)
{
    int fd = openat(dfd, name, O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0 && (errno == EACCES || errno == EROFS))
        fd = openat(dfd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    return state_fd_check(fd);
}

int cluster_journal_open(struct cluster *cl, int flags)
{
    return state_fd_check(
        openat(cl->dirfd, FILE_JOURNAL, flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
}

void cluster_close(struct cluster *cl)
{
    int *fds[] = {&cl->dirfd,     &cl->nodes_fd, &cl->lock_fd, &cl->journal_fd,
                  &cl->faults_fd, &cl->procs_fd, &cl->libs_fd, &cl->chroot_fd};
    for (size_t i = 0; i < sizeof fds / sizeof fds[0]; i++) {
        if (*fds[i] >= 0)
            close(*fds[i]);
        *fds[i] = -1;
    }
}

int cluster_open(const char *path, struct cluster *cl)
{
    struct stat st;
    memset(cl, 0, sizeof *cl);
    cl->dirfd = cl->nodes_fd = cl->lock_fd = cl->journal_fd = -1;
    cl->faults_fd = cl->procs_fd = cl->libs_fd = cl->chroot_fd = -1;
    if (strlen(path) >= sizeof cl->path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    strcpy(cl->path, path);
    cl->dirfd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (cl->dirfd < 0) {
        struct stat lst;
        if (errno == ENOTDIR && lstat(path, &lst) == 0 && S_ISLNK(lst.st_mode))
            errno = ELOOP; /* a symlink in place of the cluster */
        goto fail;
    }
    if (check_owner(cl->dirfd) < 0)
        goto fail;
    /* A directory without its files (or with something else in their
     * place) is not a cluster. */
    if ((cl->nodes_fd = open_in(cl->dirfd, FILE_NODES)) < 0 ||
        (cl->lock_fd = open_in(cl->dirfd, FILE_LOCK)) < 0 ||
        (cl->faults_fd = open_in(cl->dirfd, FILE_FAULTS)) < 0 ||
        (cl->procs_fd = open_in(cl->dirfd, FILE_PROCS)) < 0 ||
        (cl->libs_fd = open_in(cl->dirfd, FILE_LIBS)) < 0 ||
        (cl->chroot_fd = open_in(cl->dirfd, FILE_CHROOT)) < 0)
        goto fail;
    /* A journal we may not write stays unwritten, but must be a journal;
     * a missing one is damage. */
    cl->journal_fd = cluster_journal_open(cl, O_WRONLY | O_APPEND);
    if (cl->journal_fd < 0) {
        if (errno != EACCES && errno != EROFS)
            goto fail;
        int jfd = cluster_journal_open(cl, O_RDONLY);
        if (jfd < 0 && errno != EACCES)
            goto fail;
        if (jfd >= 0)
            close(jfd);
    }
    if (fstat(cl->nodes_fd, &st) < 0)
        goto fail;
    cl->dev = st.st_dev;
    cl->ino = st.st_ino;
    if (pread_full(cl->nodes_fd, &cl->hdr, sizeof cl->hdr, 0) != (ssize_t)sizeof cl->hdr) {
        errno = EIO;
        goto fail;
    }
    if (validate_header(&cl->hdr, st.st_size) < 0)
        goto fail;
    return 0;
fail : {
    int saved = errno;
    cluster_close(cl);
    errno = saved;
}
    return -1;
}

int cluster_destroy(const char *path)
{
    char old[4200];
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (check_owner(fd) < 0)
        return close_keep_errno(fd);
    /* Refuse to remove a directory that is not a cluster. */
    struct stat st;
    if (fstatat(fd, FILE_NODES, &st, AT_SYMLINK_NOFOLLOW) < 0) {
        close(fd);
        errno = EIO;
        return -1;
    }
    close(fd);
    snprintf(old, sizeof old, "%s.old.%d", path, (int)getpid());
    if (rename(path, old) < 0)
        return -1;
    return remove_tree(old);
}

/* Re-reads and checks the header: catches a node file damaged or cut
 * short behind our back. */
int cluster_header_check(struct cluster *cl)
{
    struct cl_header h;
    struct stat st;
    if (fstat(cl->nodes_fd, &st) < 0)
        return -1;
    if (pread_full(cl->nodes_fd, &h, sizeof h, 0) != (ssize_t)sizeof h) {
        errno = EIO;
        return -1;
    }
    if (validate_header(&h, st.st_size) < 0)
        return -1;
    if (h.nnodes != cl->hdr.nnodes) {
        errno = EIO;
        return -1;
    }
    cl->hdr = h;
    return 0;
}

static struct cluster the_cluster = {{0}, -1, -1, -1, -1, -1, -1, -1, -1, 0, 0, {}};
static int the_cluster_open;
static uid_t the_cluster_euid;

/* The cluster named by VORN_CLUSTER (or the default), opened once and
 * kept; reopened when the variable changes or the cluster was re-created.
 * A missing cluster is created with the defaults. */
struct cluster *cluster_get(void)
{
    const char *path = cluster_path_from_env();
    struct cluster *cl = &the_cluster;
    /* A process that changed its user id opens the cluster afresh, with
     * what the new id may do. */
    if (the_cluster_open && strcmp(path, cl->path) == 0 && the_cluster_euid == geteuid()) {
        char p[4200];
        struct stat st;
        snprintf(p, sizeof p, "%s/%s", path, FILE_NODES);
        if (lstat(p, &st) == 0 && st.st_dev == cl->dev && st.st_ino == cl->ino) {
            if (cluster_header_check(cl) < 0)
                return NULL;
            return cl;
        }
    }
    if (the_cluster_open) {
        cluster_close(cl);
        the_cluster_open = 0;
    }
    if (cluster_open(path, cl) < 0) {
        if (errno != ENOENT)
            return NULL;
        struct cl_params p = {CL_DEFAULT_NODES, CL_DEFAULT_BOOT_DELAY_MS, 0, 0};
        if (cluster_create(path, &p) < 0 && errno != EEXIST && errno != ENOTEMPTY)
            return NULL;
        if (cluster_open(path, cl) < 0)
            return NULL;
    }
    the_cluster_open = 1;
    the_cluster_euid = geteuid();
    return cl;
}

/* Moves the cluster's descriptors to min_fd or above, out of the way of
 * the descriptors a placement is about to set.  Each moves on its own, so
 * a failure (EMFILE) leaves a sound cluster behind.  Call it without the
 * lock held: closing the old lock descriptor drops our record locks. */
int cluster_raise(struct cluster *cl, int min_fd)
{
    int *fds[] = {&cl->dirfd,     &cl->nodes_fd, &cl->lock_fd, &cl->journal_fd,
                  &cl->faults_fd, &cl->procs_fd, &cl->libs_fd, &cl->chroot_fd};
    for (size_t i = 0; i < sizeof fds / sizeof fds[0]; i++) {
        if (*fds[i] < 0 || *fds[i] >= min_fd)
            continue;
        int high = fcntl(*fds[i], F_DUPFD_CLOEXEC, min_fd);
        if (high < 0)
            return -1;
        close(*fds[i]);
        *fds[i] = high;
    }
    return 0;
}

int cluster_lock(struct cluster *cl, int exclusive)
{
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = exclusive ? F_WRLCK : F_RDLCK;
    fl.l_whence = SEEK_SET;
    while (fcntl(cl->lock_fd, F_SETLKW, &fl) < 0) {
        if (errno == EINTR)
            continue;
        /* A lock file we may only read: the cluster is not ours to change. */
        if (errno == EBADF)
            errno = EACCES;
        return -1;
    }
    return 0;
}

int node_read_shared(struct cluster *cl, int node, struct cl_node *n)
{
    if (cluster_lock(cl, 0) < 0)
        return -1;
    int rc = node_read(cl, node, n);
    cluster_unlock(cl);
    return rc;
}

void cluster_unlock(struct cluster *cl)
{
    int saved = errno;
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = F_UNLCK;
    fl.l_whence = SEEK_SET;
    fcntl(cl->lock_fd, F_SETLK, &fl);
    errno = saved;
}

uint32_t node_default_addr(int node)
{
    return htonl(0x7f010000u + (uint32_t)node + 1);
}

void node_defaults(int node, struct cl_node *n)
{
    memset(n, 0, sizeof *n);
    n->flags = REC_SET;
    n->state = 4; /* up */
    n->target = TARGET_NONE;
    n->mode = 0111;
    n->addr = node_default_addr(node);
}

/* Checks a record as read from the file and fills in the defaults of an
 * all-zero one. */
static int node_check(int node, struct cl_node *n)
{
    if (!(n->flags & REC_SET)) {
        static const struct cl_node zero = {};
        if (memcmp(n, &zero, sizeof zero) != 0) {
            errno = EIO;
            return -1;
        }
        node_defaults(node, n);
        return 0;
    }
    if (n->flags != REC_SET || n->state < 0 || n->state > 4 || n->target < TARGET_NONE ||
        n->target > 4 || n->policy < 0 || n->policy > 5) {
        errno = EIO;
        return -1;
    }
    return 0;
}

/* Reads count records from node first on. */
int node_read_range(struct cluster *cl, int first, int count, struct cl_node *n)
{
    if (first < 0 || count < 0 || (uint64_t)first + (uint64_t)count > cl->hdr.nnodes) {
        errno = EINVAL;
        return -1;
    }
    off_t off = (off_t)CL_HEADER_SIZE + (off_t)first * CL_RECORD_SIZE;
    size_t len = (size_t)count * sizeof *n;
    ssize_t r = pread_full(cl->nodes_fd, n, len, off);
    if (r < 0)
        return -1;
    if (r != (ssize_t)len) {
        errno = EIO;
        return -1;
    }
    for (int i = 0; i < count; i++)
        if (node_check(first + i, &n[i]) < 0)
            return -1;
    return 0;
}

int node_read(struct cluster *cl, int node, struct cl_node *n)
{
    return node_read_range(cl, node, 1, n);
}

int node_write(struct cluster *cl, int node, const struct cl_node *n)
{
    off_t off = (off_t)CL_HEADER_SIZE + (off_t)node * CL_RECORD_SIZE;
    return pwrite_full(cl->nodes_fd, n, sizeof *n, off);
}

int node_effective_state(const struct cl_node *n, int64_t now)
{
    if (n->target != TARGET_NONE && now >= n->deadline_us)
        return n->target;
    return n->state;
}

/* Whether the caller's class of the node's mode grants every bit of
 * mode (root always may), like a file's permission bits. */
int node_check_access(const struct cl_node *n, int mode)
{
    uid_t uid = geteuid();
    if (uid == 0)
        return 0;
    unsigned bits;
    if (uid == n->user) {
        bits = (n->mode >> 6) & 7;
    } else {
        int in_group = getegid() == n->group;
        int ng = in_group ? 0 : getgroups(0, NULL);
        if (ng > 0) {
            /* Every supplementary group, however many there are. */
            gid_t *groups = (gid_t *)malloc((size_t)ng * sizeof *groups);
            if (!groups)
                return -1;
            ng = getgroups(ng, groups);
            for (int i = 0; i < ng && !in_group; i++)
                in_group = groups[i] == n->group;
            free(groups);
        }
        bits = in_group ? (n->mode >> 3) & 7 : n->mode & 7;
    }
    if (((unsigned)mode & bits) != (unsigned)mode) {
        errno = EACCES;
        return -1;
    }
    return 0;
}

/* May the caller place work on the node?  EINVAL for a node outside the
 * cluster, EHOSTDOWN when it is not up (if need_up), EACCES when its
 * permissions refuse.  The master is always up and open to all. */
int node_access(struct cluster *cl, int node, int mode, int need_up)
{
    struct cl_node n;
    if (node == -1)
        return 0;
    if (node < -1 || (uint32_t)node >= cl->hdr.nnodes) {
        errno = EINVAL;
        return -1;
    }
    if (node_read_shared(cl, node, &n) < 0)
        return -1;
    if (need_up && node_effective_state(&n, now_us()) != VORN_NODE_UP) {
        errno = EHOSTDOWN;
        return -1;
    }
    return node_check_access(&n, mode);
}

int chroot_write(struct cluster *cl, int node, const char *dir)
{
    char slot[CL_CHROOT_SLOT];
    size_t len = strlen(dir);
    if (len >= sizeof slot) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memset(slot, 0, sizeof slot);
    memcpy(slot, dir, len);
    return pwrite_full(cl->chroot_fd, slot, sizeof slot, (off_t)node * CL_CHROOT_SLOT);
}

/* Reads a whole small state file into a malloc block. */
static int file_load(int fd, char **buf, size_t *len)
{
    struct stat st;
    *buf = NULL;
    *len = 0;
    if (fstat(fd, &st) < 0)
        return -1;
    if (st.st_size > (off_t)(64 << 20)) {
        errno = EIO;
        return -1;
    }
    size_t size = (size_t)st.st_size;
    char *b = (char *)malloc(size + 1);
    if (!b)
        return -1;
    ssize_t r = pread_full(fd, b, size, 0);
    if (r < 0) {
        int saved = errno;
        free(b);
        errno = saved;
        return -1;
    }
    b[r] = 0;
    *buf = b;
    *len = (size_t)r;
    return 0;
}

static int file_store(int fd, const void *buf, size_t len)
{
    if (pwrite_full(fd, buf, len, 0) < 0)
        return -1;
    return ftruncate(fd, (off_t)len);
}

int fault_list(struct cluster *cl, struct cl_fault **list)
{
    char *buf;
    size_t len;
    if (file_load(cl->faults_fd, &buf, &len) < 0)
        return -1;
    struct cl_fault *f = (struct cl_fault *)buf;
    size_t n = len / sizeof *f;
    int sound = len % sizeof *f == 0;
    /* Each record as vornemu fail writes it: a known function, a node or
     * any, an error number it would take, a count of uses or forever. */
    for (size_t i = 0; sound && i < n; i++)
        sound = memchr(f[i].fn, 0, sizeof f[i].fn) && function_known(f[i].fn) &&
                (f[i].node == FAULT_ANY_NODE || f[i].node >= -1) && f[i].err > 0 &&
                f[i].err <= 4095 && (f[i].count > 0 || f[i].count == FAULT_FOREVER);
    if (!sound) {
        free(buf);
        errno = EIO;
        return -1;
    }
    *list = f;
    return (int)n;
}

/* Looks for an armed fault for this call; when one matches, uses it up
 * once and returns its error number, else 0. */
int fault_take(struct cluster *cl, const char *fn, int node, int has_node)
{
    struct stat st;
    if (fstat(cl->faults_fd, &st) < 0 || st.st_size == 0)
        return 0;
    /* Who may not write the cluster still meets its faults, but does not
     * use them up. */
    int exclusive = cluster_lock(cl, 1) == 0;
    if (!exclusive && cluster_lock(cl, 0) < 0)
        return 0;
    struct cl_fault *f = NULL;
    int n = fault_list(cl, &f), err = 0;
    if (n < 0)
        err = EIO; /* a damaged fault file fails every call */
    for (int i = 0; i < n; i++) {
        if (strncmp(f[i].fn, fn, FAULT_FN_MAX) != 0)
            continue;
        if (f[i].node != FAULT_ANY_NODE && (!has_node || f[i].node != node))
            continue;
        err = f[i].err;
        if (f[i].count > 0 && exclusive) {
            if (--f[i].count == 0) {
                memmove(&f[i], &f[i + 1], (size_t)(n - i - 1) * sizeof *f);
                n--;
            }
            file_store(cl->faults_fd, f, (size_t)n * sizeof *f);
        }
        break;
    }
    free(f);
    cluster_unlock(cl);
    return err;
}

int fault_add(struct cluster *cl, const struct cl_fault *f)
{
    if (cluster_lock(cl, 1) < 0)
        return -1;
    struct stat st;
    int rc = -1;
    if (fstat(cl->faults_fd, &st) == 0)
        rc = pwrite_full(cl->faults_fd, f, sizeof *f, st.st_size);
    cluster_unlock(cl);
    return rc;
}

int fault_clear(struct cluster *cl)
{
    if (cluster_lock(cl, 1) < 0)
        return -1;
    int rc = ftruncate(cl->faults_fd, 0);
    cluster_unlock(cl);
    return rc;
}

/* Appends text to a line buffer with tab, newline and backslash escaped. */
static size_t escape_into(char *out, size_t pos, size_t size, const char *s)
{
    for (; *s && pos + 3 < size; s++) {
        char c = *s;
        if (c == '\t' || c == '\n' || c == '\\') {
            out[pos++] = '\\';
            out[pos++] = c == '\t' ? 't' : c == '\n' ? 'n' : '\\';
        } else {
            out[pos++] = c;
        }
    }
    return pos;
}

void journal_append(struct cluster *cl, const char *fn, int node, int has_node, const char *arg,
                    int err)
{
    if (!cl || cl->journal_fd < 0)
        return;
    int saved = errno;
    char line[2 * CL_NAME_MAX + 512];
    int64_t t = now_us();
    char nodebuf[16], res[32];
    if (has_node)
        snprintf(nodebuf, sizeof nodebuf, "%d", node);
    else
        strcpy(nodebuf, "-");
    if (err == 0) {
        strcpy(res, "0");
    } else {
        const char *name = errno_name(err);
        if (name)
            snprintf(res, sizeof res, "%s", name);
        else
            snprintf(res, sizeof res, "%d", err);
    }
    int len = snprintf(line, sizeof line, "%lld.%06lld\t%u\t%s\t%s\t", (long long)(t / 1000000),
                       (long long)(t % 1000000), (unsigned)geteuid(), fn, nodebuf);
    size_t pos = (size_t)len;
    pos = escape_into(line, pos, sizeof line - 64, arg && *arg ? arg : "-");
    pos += (size_t)snprintf(line + pos, sizeof line - pos, "\t%s\n", res);
    /* One write per line: O_APPEND keeps concurrent lines whole. */
    ssize_t w = write(cl->journal_fd, line, pos);
    (void)w;
    errno = saved;
}

/* Parent and start time (clock ticks after boot) of a process. */
int proc_stat(int pid, int *ppid, uint64_t *start)
{
    char path[64], buf[1024];
    if (pid <= 0) {
        errno = ESRCH;
        return -1;
    }
    snprintf(path, sizeof path, "/proc/%d/stat", pid);
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

int procs_load(struct cluster *cl, struct cl_proc **list)
{
    char *buf;
    size_t len;
    if (file_load(cl->procs_fd, &buf, &len) < 0)
        return -1;
    struct cl_proc *p = (struct cl_proc *)buf;
    size_t n = len / sizeof *p;
    int sound = len % sizeof *p == 0;
    /* A process id, and the master or one of the cluster's nodes. */
    for (size_t i = 0; sound && i < n; i++)
        sound = p[i].pid > 0 && p[i].node >= -1 && (int64_t)p[i].node < (int64_t)cl->hdr.nnodes;
    if (!sound) {
        free(buf);
        errno = EIO;
        return -1;
    }
    *list = p;
    return (int)n;
}

static int procs_find(const struct cl_proc *list, int n, int pid, uint64_t start)
{
    for (int i = 0; i < n; i++)
        if (list[i].pid == pid && list[i].start == start)
            return list[i].node;
    return INT32_MIN;
}

/* The node of a process: its own placement, else its nearest placed
 * ancestor's, else the master. */
int procs_node_of(const struct cl_proc *list, int n, int pid)
{
    int p = pid;
    for (int depth = 0; depth < 4096; depth++) {
        int ppid;
        uint64_t start;
        if (proc_stat(p, &ppid, &start) < 0) {
            if (p == pid)
                return INT32_MIN;
            return -1;
        }
        int node = procs_find(list, n, p, start);
        if (node != INT32_MIN)
            return node;
        if (ppid <= 1)
            return -1;
        p = ppid;
    }
    return -1;
}

int procs_register(struct cluster *cl, int pid, int node, int need_up)
{
    uint64_t start;
    if (proc_stat(pid, NULL, &start) < 0)
        return -1;
    if (cluster_lock(cl, 1) < 0)
        return -1;
    struct cl_proc *list = NULL;
    int rc = -1;
    int n;
    if (need_up && node >= 0) {
        /* Checked again under the lock: a reboot or halt between the
         * placement's first check and now has killed the node's processes
         * already and must not miss this one. */
        struct cl_node rec;
        if (node_read(cl, node, &rec) < 0)
            goto out;
        if (node_effective_state(&rec, now_us()) != VORN_NODE_UP) {
            errno = EHOSTDOWN;
            goto out;
        }
    }
    n = procs_load(cl, &list);
    if (n < 0)
        goto out;
    {
        /* Drop entries of processes that are gone (or whose pid was
         * reused), then set ours. */
        int k = 0;
        for (int i = 0; i < n; i++) {
            uint64_t s;
            if (list[i].pid == pid)
                continue;
            if (proc_stat(list[i].pid, NULL, &s) < 0 || s != list[i].start)
                continue;
            list[k++] = list[i];
        }
        struct cl_proc *grown = (struct cl_proc *)realloc(list, (size_t)(k + 1) * sizeof *list);
        if (!grown)
            goto out;
        list = grown;
        list[k].pid = pid;
        list[k].node = node;
        list[k].start = start;
        k++;
        rc = file_store(cl->procs_fd, list, (size_t)k * sizeof *list);
    }
out : {
    int saved = errno;
    free(list);
    cluster_unlock(cl);
    errno = saved;
}
    return rc;
}

/* Every live process on a slave node (placed there or descended from one
 * placed there), as (pid, node) records; node is one slave node or
 * PROCS_ALL for all of them.  Caller holds the lock. */
int procs_placed(struct cluster *cl, int node, struct cl_proc **out)
{
    struct cl_proc *list = NULL, *res = NULL;
    int count = 0, cap = 0, any = 0, rc = -1;
    *out = NULL;
    int n = procs_load(cl, &list);
    if (n < 0)
        return -1;
    /* Scan the machine's processes only when a live placement exists. */
    for (int i = 0; i < n && !any; i++) {
        uint64_t s;
        if ((node == PROCS_ALL ? list[i].node >= 0 : list[i].node == node) &&
            proc_stat(list[i].pid, NULL, &s) == 0 && s == list[i].start)
            any = 1;
    }
    if (any) {
        DIR *d = opendir("/proc");
        struct dirent *e;
        if (!d)
            goto out;
        while ((e = readdir(d)) != NULL) {
            char *end;
            long pid = strtol(e->d_name, &end, 10);
            if (*end || pid <= 0)
                continue;
            int on = procs_node_of(list, n, (int)pid);
            if (node == PROCS_ALL ? on < 0 : on != node)
                continue;
            if (count == cap) {
                cap = cap ? cap * 2 : 16;
                struct cl_proc *g = (struct cl_proc *)realloc(res, (size_t)cap * sizeof *res);
                if (!g) {
                    closedir(d);
                    errno = ENOMEM;
                    goto out;
                }
                res = g;
            }
            res[count].pid = (int32_t)pid;
            res[count].node = on;
            res[count].start = 0;
            count++;
        }
        closedir(d);
    }
    *out = res;
    res = NULL;
    rc = count;
out:
    free(res);
    free(list);
    return rc;
}

int libs_load(struct cluster *cl, char **buf, size_t *len)
{
    if (file_load(cl->libs_fd, buf, len) < 0)
        return -1;
    /* Names as vorn_libadd stores them: each non-empty and terminated.  An
     * empty name inside would end the list early for every reader. */
    int sound = *len == 0 || (*buf)[*len - 1] == 0;
    for (size_t i = 0; sound && i < *len; i++)
        sound = (*buf)[i] != 0 || (i > 0 && (*buf)[i - 1] != 0);
    if (!sound) {
        free(*buf);
        *buf = NULL;
        errno = EIO;
        return -1;
    }
    return 0;
}

int libs_store(struct cluster *cl, const char *buf, size_t len)
{
    return file_store(cl->libs_fd, buf, len);
}

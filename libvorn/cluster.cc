/* cluster.cc - the emulated cluster's state directory: creating, opening,
 * validating and removing it, and the open cluster of this process. */
#include "cluster.h"
#include "hosts.h"

#include <vorn/vorn.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <pwd.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static_assert(sizeof(struct cl_header) == 40, "header layout");
static_assert(sizeof(struct cl_node) == CL_RECORD_SIZE, "node record layout");
static_assert(offsetof(struct cl_node, deadline_us) == 40, "deadline at 40");
static_assert(sizeof(struct cl_proc) == 16, "process record layout");
static_assert(sizeof(struct cl_fault) == 56, "fault record layout");

int64_t now_us(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

int64_t mono_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
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
const char *cluster_default_path(void)
{
    static char buf[64];
    snprintf(buf, sizeof buf, "/tmp/vorn-cluster-%u", (unsigned)geteuid());
    return buf;
}

/* The message for a default cluster directory that someone else made,
 * or null when path is not that. */
const char *cluster_foreign_message(const char *path)
{
    static char msg[4400];
    struct stat st;
    const char *env = getenv("VORN_CLUSTER");
    if ((env && *env) || strcmp(path, cluster_default_path()) != 0 || lstat(path, &st) < 0 ||
        st.st_uid == geteuid())
        return NULL;
    struct passwd *pw = getpwuid(st.st_uid);
    char who[64];
    if (pw)
        snprintf(who, sizeof who, "user %s", pw->pw_name);
    else
        snprintf(who, sizeof who, "user %u", (unsigned)st.st_uid);
    snprintf(msg, sizeof msg,
             "%s belongs to %s, not to you: set VORN_CLUSTER to a cluster directory of your own",
             path, who);
    return msg;
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
        h->nnodes > CL_MAX_NODES || h->boot_delay_ms > CL_MAX_BOOT_DELAY_MS ||
        (h->flags & ~(CL_FLAG_SHARED | CL_FLAG_HOSTS)) || h->check != header_checksum(h)) {
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

/* Removes the regular files of a cluster directory (and of its users/)
 * and the directory. */
static int remove_at(int at, const char *path, int depth)
{
    int dfd = openat(at, path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dfd < 0)
        return -1;
    DIR *d = fdopendir(dfd);
    if (!d)
        return close_keep_errno(dfd);
    struct dirent *e;
    while ((e = readdir(d)) != NULL) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        /* Directories with their files: placed/, users/ and each user's
         * directory with its placed/; a directory in place of a state
         * file goes too. */
        if (unlinkat(dirfd(d), e->d_name, 0) < 0 && (errno == EISDIR || errno == EPERM)) {
            if (depth < 3)
                remove_at(dirfd(d), e->d_name, depth + 1);
            else
                unlinkat(dirfd(d), e->d_name, AT_REMOVEDIR);
        }
    }
    closedir(d);
    return unlinkat(at, path, AT_REMOVEDIR);
}

static int remove_tree(const char *path)
{
    return remove_at(AT_FDCWD, path, 0);
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
    mode_t fmode = 0644;

    if (strlen(path) >= 4096) {
        errno = ENAMETOOLONG;
        return -1;
    }
    if (p->nnodes > CL_MAX_NODES || p->boot_delay_ms > CL_MAX_BOOT_DELAY_MS) {
        errno = EINVAL;
        return -1;
    }
    /* The nodes and faults of a shared cluster are root's to change. */
    if (p->shared && geteuid() != 0) {
        errno = EPERM;
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
        h.flags = (p->shared ? CL_FLAG_SHARED : 0) | (p->hosts ? CL_FLAG_HOSTS : 0);
        h.master_addr = p->hosts ? hosts_master_addr(p->hosts) : htonl(0x7f000001);
        h.check = header_checksum(&h);
        char block[CL_HEADER_SIZE];
        memset(block, 0, sizeof block);
        memcpy(block, &h, sizeof h);
        fd = create_file(dfd, FILE_NODES, fmode);
        if (fd < 0)
            goto out;
        /* Node records start all zero: every node up with the defaults.
         * The file stays sparse until nodes change. */
        if (write_full(fd, block, sizeof block, 0) < 0 ||
            ftruncate(fd, (off_t)CL_HEADER_SIZE + (off_t)p->nnodes * CL_RECORD_SIZE) < 0)
            goto out;
        /* A host's node record has the address its name resolved to. */
        for (int i = 0; p->hosts && i < p->hosts->count; i++) {
            struct cl_node n;
            node_defaults(i, &n);
            n.addr = p->hosts->recs[i].addr;
            if (write_full(fd, &n, sizeof n, CL_HEADER_SIZE + (off_t)i * CL_RECORD_SIZE) < 0)
                goto out;
        }
        if (p->hosts && (fsync(fd) < 0 || hosts_write(dfd, p->hosts, p->ssh_config, p->power) < 0))
            goto out;
        close(fd);
        fd = -1;
    }
    {
        /* The lock is its writers' alone, shared cluster or not: a lock
         * file that others can open is a lock that others can hold. */
        static const char *const files[] = {FILE_LOCK, FILE_JOURNAL, FILE_FAULTS, FILE_LIBS,
                                            FILE_CHROOT};
        for (size_t i = 0; i < sizeof files / sizeof files[0]; i++) {
            fd = create_file(dfd, files[i], i == 0 ? 0600 : fmode);
            if (fd < 0 || (i == 0 && lock_file_size(fd) < 0))
                goto out;
            close(fd);
            fd = -1;
        }
    }
    if (mkdirat(dfd, FILE_PLACED, 0755) < 0 || fchmodat(dfd, FILE_PLACED, 0755, 0) < 0)
        goto out;
    /* Each other user of a shared cluster keeps files of their own in
     * users/, sticky like /tmp. */
    if (p->shared && (mkdirat(dfd, USERS_DIR, 0700) < 0 || fchmodat(dfd, USERS_DIR, 01777, 0) < 0))
        goto out;
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
    if (fd < 0) {
        if (errno == ENOENT || errno == ELOOP || errno == EISDIR || errno == ENXIO ||
            errno == ENODEV || errno == ENOTDIR || errno == ETXTBSY)
            errno = EIO;
        return -1;
    }
    return fd_regular(fd);
}

/* Opens a state file read-write, or read-only for who may not write it. */
static int open_in(int dfd, const char *name)
{
    int fd = openat(dfd, name, O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0 && (errno == EACCES || errno == EROFS))
        fd = openat(dfd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    return state_fd_check(fd);
}

int state_open(struct cluster *cl, const char *name, int flags)
{
    return state_fd_check(openat(cl->dirfd, name, flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
}

int cluster_journal_open(struct cluster *cl, int flags)
{
    return state_open(cl, FILE_JOURNAL, flags);
}

static int *cluster_fds(struct cluster *cl, size_t i)
{
    int *fds[] = {&cl->dirfd,     &cl->nodes_fd,    &cl->lock_fd,   &cl->journal_fd,
                  &cl->chroot_fd, &cl->placed_fd,   &cl->users_fd,  &cl->udir_fd,
                  &cl->ulock_fd,  &cl->ujournal_fd, &cl->uplaced_fd};
    return i < sizeof fds / sizeof fds[0] ? fds[i] : NULL;
}

void cluster_close(struct cluster *cl)
{
    int *fd;
    for (size_t i = 0; (fd = cluster_fds(cl, i)) != NULL; i++) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
    qlock_forget(&cl->lk);
    qlock_forget(&cl->ulk);
    cl->locked = 0;
}

int cluster_open(const char *path, struct cluster *cl)
{
    struct stat st;
    int *fdp;
    memset(cl, 0, sizeof *cl);
    for (size_t i = 0; (fdp = cluster_fds(cl, i)) != NULL; i++)
        *fdp = -1;
    cl->uid = geteuid();
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
     * place) is not a cluster.  The tables are replaced whole, so they
     * are opened on each use; here they must only be there. */
    if ((cl->nodes_fd = open_in(cl->dirfd, FILE_NODES)) < 0 ||
        (cl->chroot_fd = open_in(cl->dirfd, FILE_CHROOT)) < 0)
        goto fail;
    {
        static const char *const tables[] = {FILE_FAULTS, FILE_LIBS};
        for (size_t i = 0; i < sizeof tables / sizeof tables[0]; i++) {
            int fd = state_open(cl, tables[i], O_RDONLY);
            if (fd < 0)
                goto fail;
            close(fd);
        }
    }
    /* The lock of a cluster that is not ours to write is not ours to
     * take, nor even to open. */
    cl->lock_fd = state_open(cl, FILE_LOCK, O_RDWR);
    if (cl->lock_fd >= 0) {
        cl->lock_rw = 1;
        /* An earlier version let others read a shared cluster's lock. */
        if (fstat(cl->lock_fd, &st) < 0 || ((st.st_mode & 077) && fchmod(cl->lock_fd, 0600) < 0))
            goto fail;
    } else if (errno != EACCES && errno != EROFS) {
        goto fail;
    }
    /* One record per placed process; a cluster of an earlier version
     * (one table, "procs") gets its directory from its owner. */
    cl->placed_fd = openat(cl->dirfd, FILE_PLACED, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (cl->placed_fd < 0 && errno == ENOENT && cl->lock_rw &&
        faccessat(cl->dirfd, FILE_PROCS, F_OK, AT_SYMLINK_NOFOLLOW) == 0 &&
        (mkdirat(cl->dirfd, FILE_PLACED, 0755) == 0 || errno == EEXIST))
        cl->placed_fd =
            openat(cl->dirfd, FILE_PLACED, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (cl->placed_fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP)
            errno = EIO;
        goto fail;
    }
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
    /* A cluster of hosts has its host table, one host for each node. */
    if ((cl->hdr.flags & CL_FLAG_HOSTS) && hosts_valid(cl) < 0)
        goto fail;
    if (cl->hdr.flags & CL_FLAG_SHARED) {
        cl->users_fd =
            openat(cl->dirfd, USERS_DIR, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (cl->users_fd < 0 || fstat(cl->users_fd, &st) < 0 || (st.st_mode & 07777) != 01777 ||
            st.st_uid != 0) {
            errno = EIO;
            goto fail;
        }
    }
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

static struct cluster the_cluster;
static const char *foreign;

const char *cluster_foreign(void)
{
    return foreign;
}
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
    foreign = NULL;
    if (cluster_open(path, cl) < 0) {
        if (errno != ENOENT) {
            /* Someone else's directory where ours belongs by default. */
            if (errno == EACCES || errno == ENOTDIR || errno == ELOOP) {
                int saved = errno;
                foreign = cluster_foreign_message(path);
                errno = saved;
            }
            return NULL;
        }
        struct cl_params p = {CL_DEFAULT_NODES, CL_DEFAULT_BOOT_DELAY_MS, 0, 0, NULL, NULL, NULL};
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
    int *fd;
    /* Our own files of a shared cluster first, so that they go up too. */
    if (cluster_user_files(cl) < 0 && errno != EACCES)
        return -1;
    for (size_t i = 0; (fd = cluster_fds(cl, i)) != NULL; i++) {
        if (*fd < 0 || *fd >= min_fd)
            continue;
        int high = fcntl(*fd, F_DUPFD_CLOEXEC, min_fd);
        if (high < 0)
            return -1;
        close(*fd);
        *fd = high;
    }
    return 0;
}

/* nodes.cc - the node table: fixed records after the header, node
 * defaults, permission checks and the chroot slots. */
#include "cluster.h"

#include <vorn/vorn.h>

#include <errno.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int node_read_shared(struct cluster *cl, int node, struct cl_node *n)
{
    if (cluster_lock(cl, 0) < 0)
        return -1;
    int rc = node_read(cl, node, n);
    cluster_unlock(cl);
    return rc;
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
    /* Who does not hold the lock reads until two reads agree: a record
     * half written does not pass. */
    if (cl->locked != 2 && count <= NODE_CHUNK) {
        struct cl_node again[NODE_CHUNK];
        for (int tries = 0;; tries++) {
            if (pread_full(cl->nodes_fd, again, len, off) != (ssize_t)len) {
                errno = EIO;
                return -1;
            }
            if (memcmp(again, n, len) == 0)
                break;
            if (tries == 100) {
                errno = EAGAIN;
                return -1;
            }
            memcpy(n, again, len);
        }
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

/* A node's record, written in place and synced: a power loss keeps it.
 * Once written it is in force, whatever the sync says. */
int node_write(struct cluster *cl, int node, const struct cl_node *n)
{
    off_t off = (off_t)CL_HEADER_SIZE + (off_t)node * CL_RECORD_SIZE;
    if (write_full(cl->nodes_fd, n, sizeof *n, off) < 0)
        return -1;
    fdatasync(cl->nodes_fd);
    return 0;
}

int node_effective_state(const struct cl_node *n, int64_t now)
{
    if (n->target != TARGET_NONE && now >= n->deadline_us)
        return n->target;
    return n->state;
}

/* Whether the class of n's mode that uid falls in (owner, group when
 * in_group, others) grants every bit of mode; root always may. */
static int mode_grants(const struct cl_node *n, uid_t uid, int in_group, int mode)
{
    if (uid == 0)
        return 0;
    unsigned bits = uid == n->user ? (n->mode >> 6) & 7
                    : in_group     ? (n->mode >> 3) & 7
                                   : n->mode & 7;
    if (((unsigned)mode & bits) != (unsigned)mode) {
        errno = EACCES;
        return -1;
    }
    return 0;
}

/* Whether the caller's class of the node's mode grants every bit of
 * mode (root always may), like a file's permission bits. */
int node_check_access(const struct cl_node *n, int mode)
{
    uid_t uid = geteuid();
    if (uid == 0 || uid == n->user)
        return mode_grants(n, uid, 0, mode);
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
    return mode_grants(n, uid, in_group, mode);
}

int node_allows(const struct cl_node *n, uid_t uid, const struct proc_creds *c)
{
    int in_group = c->egid == n->group;
    for (int i = 0; i < c->ngroups && !in_group; i++)
        in_group = c->groups[i] == n->group;
    return mode_grants(n, uid, in_group, 1);
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
    if (write_full(cl->chroot_fd, slot, sizeof slot, (off_t)node * CL_CHROOT_SLOT) < 0)
        return -1;
    fdatasync(cl->chroot_fd);
    return 0;
}

int node_scan(struct cluster *cl, int (*fn)(void *ctx, int node, const struct cl_node *n),
              void *ctx)
{
    struct cl_node chunk[NODE_CHUNK];
    int count = (int)cl->hdr.nnodes;
    for (int first = 0; first < count; first += NODE_CHUNK) {
        int k = count - first < NODE_CHUNK ? count - first : NODE_CHUNK;
        if (cluster_lock(cl, 0) < 0)
            return -1;
        int rc = node_read_range(cl, first, k, chunk);
        cluster_unlock(cl);
        if (rc < 0)
            return -1;
        for (int i = 0; i < k; i++)
            if (fn(ctx, first + i, &chunk[i]) < 0)
                return -1;
    }
    return 0;
}

/* cluster.h - the emulated cluster's state directory: node table, lock,
 * journal, faults, placed processes and library list (internal to libvorn). */
#ifndef VORN_CLUSTER_H
#define VORN_CLUSTER_H

#include <stdint.h>
#include <sys/types.h>

#define CL_MAGIC "VORNEMU"
#define CL_FORMAT 1
#define CL_HEADER_SIZE 256
#define CL_RECORD_SIZE 48
/* Node i has the address 127.1.0.0 + i + 1; the largest cluster ends at
 * 127.255.255.255, so every node keeps a loopback address. */
#define CL_MAX_NODES 16711679
#define CL_DEFAULT_NODES 8
#define CL_DEFAULT_BOOT_DELAY_MS 1000
#define CL_CHROOT_SLOT 4096
#define CL_NAME_MAX 4095

#define CL_FLAG_SHARED 1u

/* The files of a cluster directory. */
#define FILE_NODES "nodes"
#define FILE_LOCK "lock"
#define FILE_JOURNAL "journal"
#define FILE_FAULTS "faults"
#define FILE_PROCS "procs"
#define FILE_LIBS "libs"
#define FILE_CHROOT "chroot"

/* Header of the node file; fixed-width fields only, the same on i386 and
 * x86-64, followed by the node records at offset CL_HEADER_SIZE. */
struct cl_header {
    char magic[8];
    uint32_t format;
    uint32_t header_size;
    uint32_t record_size;
    uint32_t nnodes;
    uint32_t boot_delay_ms;
    uint32_t flags;
    uint32_t master_addr; /* network byte order */
    uint32_t check;       /* checksum of the bytes before it */
};

#define REC_SET 1u /* an all-zero record is a node with the defaults */
#define TARGET_NONE (-1)

/* One node of the node table.  A pending state change (reboot) is kept as
 * target and deadline and takes effect when the deadline has passed. */
struct cl_node {
    uint32_t flags;
    int32_t state;
    int32_t target;
    uint32_t mode;
    uint32_t user;
    uint32_t group;
    uint32_t addr; /* network byte order */
    int32_t r2c;
    int32_t policy;
    uint32_t reserved;
    int64_t deadline_us; /* CLOCK_REALTIME microseconds */
};

/* A placed process: the node that pid (started at start, in clock ticks
 * since boot) was placed on.  Its descendants inherit the node. */
struct cl_proc {
    int32_t pid;
    int32_t node;
    uint64_t start;
};

#define FAULT_ANY_NODE INT32_MIN
#define FAULT_FOREVER (-1)
#define FAULT_FN_MAX 40

/* An armed fault: the next count calls of fn on node fail with err. */
struct cl_fault {
    char fn[FAULT_FN_MAX];
    int32_t node;
    int32_t err;
    int32_t count;
    int32_t reserved;
};

/* The open cluster of this process. */
struct cluster {
    char path[4096];
    int dirfd;
    int nodes_fd;
    int lock_fd;
    int journal_fd; /* -1 when the journal is not writable for us */
    int faults_fd;
    int procs_fd;
    int libs_fd;
    int chroot_fd;
    dev_t dev;
    ino_t ino;
    struct cl_header hdr;
};

/* Creation parameters for cluster_create. */
struct cl_params {
    uint32_t nnodes;
    uint32_t boot_delay_ms;
    int shared;
    int force;
};

const char *cluster_default_path(void);
const char *cluster_path_from_env(void);
int cluster_create(const char *path, const struct cl_params *p);
int cluster_open(const char *path, struct cluster *cl);
void cluster_close(struct cluster *cl);
int cluster_destroy(const char *path);
struct cluster *cluster_get(void);
int cluster_raise(struct cluster *cl, int min_fd);
int cluster_header_check(struct cluster *cl);
/* The journal opened with flags (O_RDONLY, O_WRONLY | O_APPEND): only a
 * regular file, never blocking; EIO for anything else. */
int cluster_journal_open(struct cluster *cl, int flags);

int cluster_lock(struct cluster *cl, int exclusive);
void cluster_unlock(struct cluster *cl);

int64_t now_us(void);
void node_defaults(int node, struct cl_node *n);
int node_read(struct cluster *cl, int node, struct cl_node *n);
/* node_read under the shared lock: one consistent record for a query. */
int node_read_shared(struct cluster *cl, int node, struct cl_node *n);
int node_read_range(struct cluster *cl, int first, int count, struct cl_node *n);
#define NODE_CHUNK 256
/* Calls fn for each node of the table in order, reading NODE_CHUNK records
 * at a time under the shared lock and calling fn without it; stops at the
 * first fn that fails. */
int node_scan(struct cluster *cl, int (*fn)(void *ctx, int node, const struct cl_node *n),
              void *ctx);
int node_write(struct cluster *cl, int node, const struct cl_node *n);
int node_effective_state(const struct cl_node *n, int64_t now);
uint32_t node_default_addr(int node);
int node_access(struct cluster *cl, int node, int mode, int need_up);
int node_check_access(const struct cl_node *n, int mode);
int chroot_write(struct cluster *cl, int node, const char *dir);

int fault_take(struct cluster *cl, const char *fn, int node, int has_node);
int fault_add(struct cluster *cl, const struct cl_fault *f);
int fault_clear(struct cluster *cl);
int fault_list(struct cluster *cl, struct cl_fault **list);

void journal_append(struct cluster *cl, const char *fn, int node, int has_node, const char *arg,
                    int err);

int proc_stat(int pid, int *ppid, uint64_t *start);
int procs_load(struct cluster *cl, struct cl_proc **list);
int procs_node_of(const struct cl_proc *list, int n, int pid);
/* The node of pid as recorded now; INT32_MIN with errno set (ESRCH for a
 * process the cluster does not know). */
int proc_node(struct cluster *cl, int pid);
/* Records pid on node; with need_up, only while the node is up (EHOSTDOWN). */
int procs_register(struct cluster *cl, int pid, int node, int need_up);
#define PROCS_ALL INT32_MIN
int procs_placed(struct cluster *cl, int node, struct cl_proc **out);

int libs_load(struct cluster *cl, char **buf, size_t *len);
int libs_store(struct cluster *cl, const char *buf, size_t len);

/* Whole reads and writes (fileio.cc). */
ssize_t pread_full(int fd, void *buf, size_t len, off_t off);
int write_full(int fd, const void *buf, size_t len, off_t off);
int close_keep_errno(int fd);
/* Reads a whole small state file into a malloc block with a NUL after it. */
int file_load(int fd, char **buf, size_t *len);
int file_store(int fd, const void *buf, size_t len);

const char *errno_name(int err);
int errno_parse(const char *text);
int function_known(const char *fn);
int function_has_node(const char *fn);

#endif

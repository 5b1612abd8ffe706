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
#define CL_MAX_BOOT_DELAY_MS 3600000
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

/* The open cluster of this process.  Who may lock the node file for
 * writing (its owner, root) writes the main files; another user of a
 * shared cluster writes only files of their own under users/. */
struct cluster {
    char path[4096];
    int dirfd;
    int nodes_fd;
    int lock_fd;    /* -1: another user's private cluster, read without lock */
    int lock_rw;    /* lock_fd is open for writing: the main files are ours */
    int journal_fd; /* the main journal, for writing; -1 when not ours */
    int chroot_fd;
    int users_fd;    /* users/ of a shared cluster, -1 otherwise */
    int ulock_fd;    /* users/lock.UID: ours, once opened */
    int ujournal_fd; /* users/journal.UID */
    uid_t uid;       /* the effective user id the files were opened with */
    int locked;      /* 0 none, 1 shared, 2 exclusive */
    off_t line_off;  /* where the line of a change under way starts */
    int pending;     /* a change's marker stands in its lock file */
    dev_t dev;
    ino_t ino;
    struct cl_header hdr;
};

#define USERS_DIR "users"

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
/* A state file at name (relative to the cluster directory) opened with
 * flags; only a regular file, never blocking; EIO for anything else. */
int state_open(struct cluster *cl, const char *name, int flags);
/* Opens (creating them) our own files under users/, for a user other than
 * the cluster's owner in a shared cluster; 0 when there is nothing to do. */
int cluster_user_files(struct cluster *cl);

/* The cluster's lock, the wait for it bounded (LOCK_WAIT_MS): ENOLCK when
 * it did not come, lock_holder() then names a process that holds it.  A
 * shared lock where we may not lock at all is no lock (lockless reads). */
#define LOCK_WAIT_MS 10000
int cluster_lock(struct cluster *cl, int exclusive);
void cluster_unlock(struct cluster *cl);
int lock_take(int fd, short type);
void lock_drop(int fd);
pid_t lock_holder(void);

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

/* A call as its journal line describes it. */
struct cl_line {
    const char *fn;
    int node;
    int has_node;
    const char *arg;
};

/* What the next holder of a lock does to finish a change whose line was
 * written and whose change may not have been made. */
enum redo_kind { REDO_NONE, REDO_NODE, REDO_CHROOT, REDO_TABLE };
struct cl_redo {
    enum redo_kind kind;
    int node;
    struct cl_node rec;          /* REDO_NODE: the node's new record */
    const char *text;            /* REDO_CHROOT: the directory; REDO_TABLE: the file */
    const struct cl_proc *kills; /* processes to kill once the record is written */
    int nkills;
};

/* A change: change_lock takes the locks of our journal (the exclusive
 * lock; for another user of a shared cluster the shared lock and their
 * own) and finishes a change left under way; change_line writes the
 * call's line, whole, before the change (with redo, the marker that lets
 * the next holder finish it); change_undo takes a line back when the
 * change then failed; change_done ends it. */
int change_lock(struct cluster *cl);
void change_unlock(struct cluster *cl);
int change_line(struct cluster *cl, const struct cl_line *l, int err, const struct cl_redo *redo);
void change_undo(struct cluster *cl);
void change_done(struct cluster *cl);
/* Whether this process has a journal to write in this cluster. */
int journal_ours(struct cluster *cl);
/* The line of a call that changed nothing, under our lock; keeps errno.
 * -1 with errno set when the line cannot be written. */
int journal_append(struct cluster *cl, const struct cl_line *l, int err);
/* Finishes a change left under way in the lock file lockfd (journal jfd);
 * caller holds that lock exclusively. */
int journal_recover(struct cluster *cl, int lockfd, int jfd);

/* Replacing a whole table: the new content written beside it and synced
 * (table_prepare), then renamed over it (table_commit). */
int table_load(struct cluster *cl, const char *name, char **buf, size_t *len);
int table_prepare(struct cluster *cl, const char *name, const void *buf, size_t len);
int table_commit(struct cluster *cl, const char *name);
int table_replace(struct cluster *cl, const char *name, const void *buf, size_t len);

int proc_stat(int pid, int *ppid, uint64_t *start);
/* The real and saved user ids of a process. */
int proc_uids(int pid, uid_t *ruid, uid_t *suid);
int procs_load(struct cluster *cl, struct cl_proc **list);
int procs_node_of(const struct cl_proc *list, int n, int pid);
/* The node of pid as recorded now; INT32_MIN with errno set (ESRCH for a
 * process the cluster does not know). */
int proc_node(struct cluster *cl, int pid);
/* Records pid on node; with need_up, only while the node is up (EHOSTDOWN).
 * With line, the call's line is journaled with the record. */
int procs_register(struct cluster *cl, int pid, int node, int need_up, const struct cl_line *line);
/* The same for several processes at once (pid and node of each), one line. */
int procs_register_many(struct cluster *cl, const struct cl_proc *add, int nadd, int need_up,
                        const struct cl_line *line);
/* Kills the processes of a list whose start time still matches. */
void procs_kill(const struct cl_proc *list, int n);
#define PROCS_ALL INT32_MIN
int procs_placed(struct cluster *cl, int node, struct cl_proc **out);

int libs_load(struct cluster *cl, char **buf, size_t *len);
int libs_store(struct cluster *cl, const char *buf, size_t len, const struct cl_line *line);

/* Whole reads and writes (fileio.cc). */
ssize_t pread_full(int fd, void *buf, size_t len, off_t off);
int write_full(int fd, const void *buf, size_t len, off_t off);
int close_keep_errno(int fd);
/* Reads a whole small state file into a malloc block with a NUL after it. */
int file_load(int fd, char **buf, size_t *len);

const char *errno_name(int err);
int errno_parse(const char *text);
int function_known(const char *fn);
int function_has_node(const char *fn);

#endif

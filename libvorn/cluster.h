/* cluster.h - the emulated cluster's state directory: node table, lock,
 * journal, faults, placement records and library list (internal to libvorn). */
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
#define CL_FLAG_HOSTS 2u /* the nodes are hosts reached over ssh (hosts.h) */

/* The files of a cluster directory. */
#define FILE_NODES "nodes"
#define FILE_LOCK "lock"
#define FILE_JOURNAL "journal"
#define FILE_FAULTS "faults"
#define FILE_PROCS "procs" /* the single table of earlier versions */
#define FILE_PLACED "placed"
#define FILE_LIBS "libs"
#define FILE_CHROOT "chroot"
#define FILE_HOSTS "hosts"

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
 * since boot) was placed on.  Its descendants inherit the node.  On disk
 * each is a symlink placed/PID whose text is "NODE START". */
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

/* A lock file: the marker of a change under way at offset 0, the queue
 * of the lock (lock.cc) mapped at LOCK_QUEUE_OFF.  All zero is a free lock. */
#define LOCK_QUEUE_OFF 16384
#define LOCK_SLOTS 4096
struct lock_queue {
    uint32_t next; /* the next ticket */
    uint32_t reserved[15];
    uint32_t slot[LOCK_SLOTS]; /* per ticket modulo LOCK_SLOTS: tag and state */
};
#define LOCK_FILE_SIZE (LOCK_QUEUE_OFF + (long)sizeof(struct lock_queue))

/* A queued lock on one lock file, as this process holds it. */
struct qlock {
    int fd;
    struct lock_queue *q; /* the mapped queue, null until first used */
    uint32_t ticket;
    int held;
};

/* The open cluster of this process.  Who may open the lock file for
 * writing (its owner, root) writes the main files; another user of a
 * shared cluster writes only files of their own, in a directory of theirs
 * under users/ that no one else may write. */
struct cluster {
    char path[4096];
    int dirfd;
    int nodes_fd;
    int lock_fd;    /* the main lock: only its owner (and root) may open it */
    int lock_rw;    /* lock_fd is open: the main files are ours */
    int journal_fd; /* the main journal, for writing; -1 when not ours */
    int chroot_fd;
    int placed_fd;   /* placed/, the main placement records */
    int users_fd;    /* users/ of a shared cluster, -1 otherwise */
    int udir_fd;     /* our own directory under users/, once opened */
    int ulock_fd;    /* its lock */
    int ujournal_fd; /* its journal */
    int uplaced_fd;  /* its placed/ */
    char udir[64];   /* its name under users/ */
    uid_t uid;       /* the effective user id the files were opened with */
    int locked;      /* 0 none, 2 exclusive */
    off_t line_off;  /* where the line of a change under way starts */
    int pending;     /* a change's marker stands in its lock file */
    struct qlock lk, ulk;
    dev_t dev;
    ino_t ino;
    struct cl_header hdr;
};

#define USERS_DIR "users"
/* Largest number of records read from one other user's placed/. */
#define USER_RECORDS_MAX 65536

/* Creation parameters for cluster_create. */
struct host_list;
struct cl_params {
    uint32_t nnodes;
    uint32_t boot_delay_ms;
    int shared;
    int force;
    /* A cluster of hosts: its host list (nnodes is its length), the ssh
     * configuration file and the power command, or nulls. */
    const struct host_list *hosts;
    const char *ssh_config;
    const char *power;
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
/* The directory under users/ that holds uid's files (a descriptor), or -1:
 * the canonical name "UID" when uid owns it, else one "UID.HEX" that uid
 * owns; only a directory that no one else may write.  name gets its name. */
int user_dir_open(struct cluster *cl, uid_t uid, char *name, size_t size);
/* Whether a name under users/ is canonical ("UID" or "UID.16 hex digits"),
 * and the uid it names. */
int user_dir_name(const char *name, uid_t *uid);
/* The message for a default cluster directory that belongs to someone
 * else (naming them and VORN_CLUSTER), or null when path is not that;
 * cluster_foreign: that message when the last cluster_get failed so. */
const char *cluster_foreign_message(const char *path);
const char *cluster_foreign(void);
/* Makes the lock file at fd (of a fresh or older cluster) as large as
 * its queue needs. */
int lock_file_size(int fd);

/* The cluster's lock: a queue served in order, each waiter asleep until
 * the one before it is done, the wait bounded (LOCK_WAIT_MS): ENOLCK when
 * it did not come, lock_holder() then names the process that holds it.
 * Readers take no lock (records are read until two reads agree); who may
 * write finishes a change cut short before reading (cluster_lock with
 * exclusive 0, which holds nothing afterwards). */
#define LOCK_WAIT_MS 10000
int cluster_lock(struct cluster *cl, int exclusive);
void cluster_unlock(struct cluster *cl);
int qlock_take(struct qlock *l, int fd);
void qlock_drop(struct qlock *l);
void qlock_forget(struct qlock *l);
pid_t lock_holder(void);

int64_t now_us(void);
/* Milliseconds of CLOCK_MONOTONIC, for bounded waits. */
int64_t mono_ms(void);
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
enum redo_kind { REDO_NONE, REDO_NODE, REDO_CHROOT, REDO_TABLE, REDO_RECORDS };
struct cl_redo {
    enum redo_kind kind;
    int node;
    struct cl_node rec;          /* REDO_NODE: the node's new record */
    const char *text;            /* REDO_CHROOT: the directory; REDO_TABLE: the file;
                                    REDO_RECORDS: the placed/ directory */
    const struct cl_proc *procs; /* REDO_RECORDS: the records renamed into place */
    int nprocs;                  /* REDO_NODE: 1 to kill the node's processes */
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
/* A process's credentials: real and saved user ids, effective group id
 * and supplementary groups (at most *ngroups, set to their number). */
struct proc_creds {
    uid_t ruid, suid;
    gid_t egid;
    int ngroups;
    gid_t groups[64];
};
int proc_creds(int pid, struct proc_creds *c);
/* The real and saved user ids of a process. */
int proc_uids(int pid, uid_t *ruid, uid_t *suid);
/* Whether a node's mode lets a process with these credentials place work
 * there (the execute bit of its class), like node_check_access. */
int node_allows(const struct cl_node *n, uid_t uid, const struct proc_creds *c);

/* One placement record read from a placed/ directory. */
int record_read(int dirfd, const char *name, struct cl_proc *p);
/* The node of pid as recorded now (its own record, else its nearest
 * placed ancestor's, else the master); INT32_MIN with errno set (ESRCH
 * for a process the cluster does not know). */
int proc_node(struct cluster *cl, int pid);
/* Records pid on node; with need_up, only while the node is up (EHOSTDOWN).
 * With line, the call's line is journaled with the record. */
int procs_register(struct cluster *cl, int pid, int node, int need_up, const struct cl_line *line);
/* The same for several processes at once (pid and node of each), one line. */
int procs_register_many(struct cluster *cl, const struct cl_proc *add, int nadd, int need_up,
                        const struct cl_line *line);
/* Sends sig to the processes of a list whose start time still matches. */
void procs_kill(const struct cl_proc *list, int n, int sig);
/* Kills every process on node (placed there or descended from one placed
 * there), of every user whose records say so. */
int procs_kill_node(struct cluster *cl, int node);
#define PROCS_ALL INT32_MIN
/* Every live process on a slave node, or on all of them (PROCS_ALL), as
 * (pid, node, start); with for_kill, also records that are not believed
 * as placements (a node that is down now) but whose owner may be killed. */
int procs_placed(struct cluster *cl, int node, struct cl_proc **out, int for_kill);
/* Every record of a placed/ directory, sound or not, for vornemu check:
 * fn gets each name and, for a sound record, the record (else null). */
int records_each(int dirfd, int (*fn)(void *ctx, const char *name, const struct cl_proc *p),
                 void *ctx);

int libs_load(struct cluster *cl, char **buf, size_t *len);
int libs_store(struct cluster *cl, const char *buf, size_t len, const struct cl_line *line);

/* vornemu check (check.cc, in vornemu alone): prints each inconsistency
 * of the cluster on a line of its own; returns how many there were. */
int cluster_check(struct cluster *cl);

/* Whole reads and writes (fileio.cc). */
ssize_t pread_full(int fd, void *buf, size_t len, off_t off);
int write_full(int fd, const void *buf, size_t len, off_t off);
int close_keep_errno(int fd);
/* Calls fn with each name in the directory dirfd but "." and "..", from its
 * start, until fn returns other than 0; returns that, 0, or -1 when the
 * directory cannot be read.  dirfd stays open. */
int dir_each(int dirfd, int (*fn)(void *ctx, const char *name), void *ctx);
/* fd if it is a regular file, with O_NONBLOCK cleared; else -1 (EIO), closed. */
int fd_regular(int fd);
/* Reads a whole small state file into a malloc block with a NUL after it. */
int file_load(int fd, char **buf, size_t *len);

const char *errno_name(int err);
int errno_parse(const char *text);
int function_known(const char *fn);
int function_has_node(const char *fn);

#endif

/* lock.cc - the cluster's locks: a queue of waiters served in order, each
 * asleep on a futex until the one before it is done, every wait bounded.
 *
 * A waiter takes a ticket from the counter of the queue mapped from the
 * lock file, holds the record lock of its ticket's byte for as long as it
 * waits and holds, and waits for the ticket before it: released (the lock
 * is ours), given up or dead while waiting (wait for the one before that),
 * or dead while holding (the lock is ours, and the marker left in the lock
 * file lets us finish its change).  The kernel drops the record locks of a
 * process that dies, which is how a dead waiter or holder is told from a
 * slow one. */
#include "cluster.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/futex.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

/* States of a slot; a slot is its ticket's tag (ticket + 1, 30 bits) and
 * its state, so an all-zero queue has ticket -1 released. */
enum { SLOT_RELEASED = 0, SLOT_WAITING = 1, SLOT_HOLDING = 2, SLOT_GAVE_UP = 3 };
#define TAG_MASK 0x3fffffffu
/* The record lock of ticket t: one byte far past the data, so that the
 * marker's reads and writes never meet it. */
#define SLOT_LOCK_BASE ((off_t)1 << 30)
/* How often a waiter looks whether the one before it died (the kernel
 * wakes no futex for a dead process); a release wakes it at once. */
#define LIVENESS_MS 100
/* How long a ticket may stay unclaimed, its byte unlocked, before its
 * taker counts as dead. */
#define UNCLAIMED_MS 1000

static pid_t last_holder;

pid_t lock_holder(void)
{
    return last_holder;
}

static uint32_t slot_word(uint32_t ticket, uint32_t state)
{
    return ((ticket + 1) & TAG_MASK) << 2 | state;
}

static int slot_is(uint32_t word, uint32_t ticket)
{
    return (word >> 2) == ((ticket + 1) & TAG_MASK);
}

static int byte_lock(int fd, uint32_t ticket, short type)
{
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = SLOT_LOCK_BASE + (off_t)(ticket % LOCK_SLOTS);
    fl.l_len = 1;
    int rc;
    do {
        rc = fcntl(fd, F_SETLK, &fl);
    } while (rc < 0 && errno == EINTR);
    return rc;
}

/* The process holding a record lock on ticket's byte (with whole, on any
 * part of the file); 0 when none does. */
static pid_t byte_holder(int fd, uint32_t ticket, int whole)
{
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    if (!whole) {
        fl.l_start = SLOT_LOCK_BASE + (off_t)(ticket % LOCK_SLOTS);
        fl.l_len = 1;
    }
    if (fcntl(fd, F_GETLK, &fl) < 0 || fl.l_type == F_UNLCK)
        return 0;
    return fl.l_pid > 0 ? fl.l_pid : 1;
}

static void futex_wait(uint32_t *word, uint32_t val, long ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000};
    syscall(SYS_futex, word, FUTEX_WAIT, val, &ts, NULL, 0);
}

static void futex_wake(uint32_t *word)
{
    syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, NULL, NULL, 0);
}

/* The lock file's blocks are allocated before the queue is mapped: a page
 * of a sparse file touched on a full file system would be SIGBUS, not an
 * error.  Zeros are a free lock. */
int lock_file_size(int fd)
{
    struct stat st;
    if (fallocate(fd, 0, 0, LOCK_FILE_SIZE) == 0)
        return 0;
    if (errno != EOPNOTSUPP || fstat(fd, &st) < 0)
        return -1;
    return st.st_size >= LOCK_FILE_SIZE ? 0 : ftruncate(fd, LOCK_FILE_SIZE);
}

static int qlock_map(struct qlock *l, int fd)
{
    if (l->q && l->fd == fd)
        return 0;
    qlock_forget(l);
    if (lock_file_size(fd) < 0)
        return -1;
    void *m = mmap(NULL, sizeof(struct lock_queue), PROT_READ | PROT_WRITE, MAP_SHARED, fd,
                   LOCK_QUEUE_OFF);
    if (m == MAP_FAILED)
        return -1;
    l->q = (struct lock_queue *)m;
    l->fd = fd;
    l->held = 0;
    return 0;
}

void qlock_forget(struct qlock *l)
{
    if (l->q)
        munmap(l->q, sizeof(struct lock_queue));
    l->q = NULL;
    l->held = 0;
    l->fd = -1;
}

/* Who keeps ticket t's byte from us: the process locking it, else one
 * holding a foreign record lock anywhere on the file (0: none). */
static pid_t lock_blocker(int fd, uint32_t t)
{
    pid_t pid = byte_holder(fd, t, 0);
    return pid ? pid : byte_holder(fd, 0, 1);
}

/* The process that holds the lock ahead of ticket t (or a foreign record
 * lock on the file), for the message of a wait that timed out. */
static pid_t holder_ahead(struct qlock *l, uint32_t t)
{
    uint32_t p = t - 1;
    for (int steps = 0; steps < LOCK_SLOTS - 1; steps++, p--) {
        uint32_t w = __atomic_load_n(&l->q->slot[p % LOCK_SLOTS], __ATOMIC_SEQ_CST);
        if (!slot_is(w, p) || (w & 3) == SLOT_RELEASED)
            break;
        if ((w & 3) == SLOT_HOLDING) {
            pid_t pid = byte_holder(l->fd, p, 0);
            if (pid)
                return pid;
        }
    }
    return lock_blocker(l->fd, t);
}

int qlock_take(struct qlock *l, int fd)
{
    if (qlock_map(l, fd) < 0)
        return -1;
    int64_t deadline = mono_ms() + LOCK_WAIT_MS;
    struct lock_queue *q = l->q;
    for (;;) {
        uint32_t t = __atomic_fetch_add(&q->next, 1, __ATOMIC_SEQ_CST);
        uint32_t *mine = &q->slot[t % LOCK_SLOTS];
        uint32_t old = __atomic_load_n(mine, __ATOMIC_SEQ_CST);
        int claimed = byte_lock(fd, t, F_WRLCK) == 0;
        if (claimed && !__atomic_compare_exchange_n(mine, &old, slot_word(t, SLOT_WAITING), 0,
                                                    __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
            /* Those behind took us for dead: take another ticket. */
            byte_lock(fd, t, F_UNLCK);
            continue;
        }
        if (!claimed) {
            /* The byte is someone else's (a foreign record lock on the
             * file): give the ticket up and wait for that lock to go. */
            int err = errno;
            if (err != EAGAIN && err != EACCES) {
                errno = err == EBADF ? EACCES : err;
                return -1;
            }
            __atomic_compare_exchange_n(mine, &old, slot_word(t, SLOT_GAVE_UP), 0, __ATOMIC_SEQ_CST,
                                        __ATOMIC_SEQ_CST);
            futex_wake(mine);
            int64_t left = deadline - mono_ms();
            if (left <= 0) {
                last_holder = lock_blocker(fd, t);
                errno = ENOLCK;
                return -1;
            }
            uint32_t w = __atomic_load_n(mine, __ATOMIC_SEQ_CST);
            futex_wait(mine, w, left < 20 ? left : 20);
            continue;
        }
        /* Wait for the ticket ahead of ours. */
        uint32_t p = t - 1;
        int64_t unclaimed_since = -1;
        for (;;) {
            uint32_t *ps = &q->slot[p % LOCK_SLOTS];
            uint32_t w = __atomic_load_n(ps, __ATOMIC_SEQ_CST);
            if (slot_is(w, p)) {
                uint32_t state = w & 3;
                if (state == SLOT_RELEASED)
                    break;
                if (state == SLOT_GAVE_UP) {
                    p--;
                    unclaimed_since = -1;
                    continue;
                }
                if (!byte_holder(fd, p, 0)) {
                    /* Dead: a holder's lock is ours, a waiter is skipped.
                     * Look again first: it may have just let go. */
                    uint32_t again = __atomic_load_n(ps, __ATOMIC_SEQ_CST);
                    if (again != w)
                        continue;
                    if (state == SLOT_HOLDING)
                        break;
                    p--;
                    unclaimed_since = -1;
                    continue;
                }
            } else if (!byte_holder(fd, p, 0)) {
                /* Its taker has not claimed it: slow, or killed before it
                 * could.  After a while it counts as given up, unless it
                 * claims it first. */
                int64_t now = mono_ms();
                if (unclaimed_since < 0)
                    unclaimed_since = now;
                if (now - unclaimed_since >= UNCLAIMED_MS &&
                    __atomic_compare_exchange_n(ps, &w, slot_word(p, SLOT_GAVE_UP), 0,
                                                __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
                    p--;
                    unclaimed_since = -1;
                    continue;
                }
            }
            int64_t left = deadline - mono_ms();
            if (left <= 0) {
                last_holder = holder_ahead(l, t);
                __atomic_store_n(mine, slot_word(t, SLOT_GAVE_UP), __ATOMIC_SEQ_CST);
                futex_wake(mine);
                byte_lock(fd, t, F_UNLCK);
                errno = ENOLCK;
                return -1;
            }
            futex_wait(ps, w, left < LIVENESS_MS ? left : LIVENESS_MS);
        }
        __atomic_store_n(mine, slot_word(t, SLOT_HOLDING), __ATOMIC_SEQ_CST);
        l->ticket = t;
        l->held = 1;
        last_holder = 0;
        return 0;
    }
}

void qlock_drop(struct qlock *l)
{
    if (!l->q || !l->held)
        return;
    int saved = errno;
    uint32_t *mine = &l->q->slot[l->ticket % LOCK_SLOTS];
    __atomic_store_n(mine, slot_word(l->ticket, SLOT_RELEASED), __ATOMIC_SEQ_CST);
    futex_wake(mine);
    byte_lock(l->fd, l->ticket, F_UNLCK);
    l->held = 0;
    errno = saved;
}

/* The marker of a change under way opens the lock file: its first word
 * is nonzero only then (see journal.cc). */
static int marker_set(int fd)
{
    uint32_t magic = 0;
    return pread(fd, &magic, sizeof magic, 0) == (ssize_t)sizeof magic && magic != 0;
}

int cluster_lock(struct cluster *cl, int exclusive)
{
    if (!cl->lock_rw) {
        if (exclusive) {
            errno = EACCES;
            return -1;
        }
        return 0; /* not ours to write: read without lock */
    }
    if (!exclusive) {
        /* A reader holds nothing; a change cut short is finished first. */
        if (!marker_set(cl->lock_fd))
            return 0;
        if (cluster_lock(cl, 1) < 0)
            return -1;
        cluster_unlock(cl);
        return 0;
    }
    if (qlock_take(&cl->lk, cl->lock_fd) < 0)
        return -1;
    cl->locked = 2;
    if (marker_set(cl->lock_fd) && journal_recover(cl, cl->lock_fd, cl->journal_fd) < 0) {
        cluster_unlock(cl);
        return -1;
    }
    return 0;
}

void cluster_unlock(struct cluster *cl)
{
    if (cl->locked)
        qlock_drop(&cl->lk);
    cl->locked = 0;
}

/* place.h - what the placement engines share: the I/O redirection
 * records of a placement, opened and installed (internal to libvorn). */
#ifndef VORN_PLACE_H
#define VORN_PLACE_H

#include "cluster.h"

#include <vorn/vorn.h>

/* A descriptor replaced by a record, kept to be put back on failure. */
struct io_saved {
    int fd;
    int copy; /* -1: fd was closed */
    int fdflags;
};

/* What applying a set of records opened and replaced. */
struct io_state {
    int count;
    int min_fd; /* above every descriptor a record sets */
    int *temps;
    struct io_saved *saved;
    int nsaved;
};

/* Whether a set of records is sound: null with count -1 is none. */
int io_check(const struct io_redirect *io, int count);
/* Opens every record's file or connection into temporaries, in array
 * order; nothing of the caller's is touched yet. */
int io_open_all(const struct io_redirect *io, int count, struct io_state *st, int node);
/* Makes each temporary its record's descriptor, keeping what was there. */
int io_install(const struct io_redirect *io, struct io_state *st);
/* Puts back what io_install replaced. */
void io_restore(struct io_state *st);
/* Closes the temporaries and the kept copies. */
void io_release(struct io_state *st);
/* Waits (bounded) until the listener of each forwarding socket record
 * has taken its connection. */
void io_wait_all(const struct io_redirect *io, int count);

#endif

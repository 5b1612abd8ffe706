/* place.h - placement's two engines, the fork and exec here of the emulated
 * cluster's nodes and ssh to a node that is a host, and what they share:
 * the I/O redirection records, opened and installed (internal to libvorn). */
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

/* The engines of vorn_rexec_io and vorn_execmove_io, after the call's
 * common checks: on success they do not return (the caller runs the
 * program, or on a host has become its relay); -1 with errno otherwise.
 * line is the call's, journaled with the placement record. */
int local_place_exec(struct cluster *cl, const struct cl_line *line, int node,
                     const struct io_redirect *io, int count, const char *path, char *const argv[],
                     char *const envp[]);
int ssh_place_exec(struct cluster *cl, const struct cl_line *line, int node,
                   const struct io_redirect *io, int count, const char *path, char *const argv[],
                   char *const envp[]);

/* In the placed process: applies the records and records its node, with
 * the call's line; deferred, the caller records it. */
int place_self(struct cluster *cl, int node, struct io_redirect *io, int count,
               const struct cl_line *line, int defer);
/* Forks a child that places itself on node; returns its pid once it has,
 * or -1 with the child's errno (the child is reaped).  With go, the child
 * applies its records and waits for a byte on the pipe whose writing end
 * *go gets: the caller records it (the end closed without a byte ends the
 * child). */
int fork_placed(struct cluster *cl, int node, struct io_redirect *io, int count,
                const struct cl_line *line, pid_t *child, int *go);

#endif

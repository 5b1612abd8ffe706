/* hosts.h - a cluster whose nodes are hosts reached over OpenSSH: its host
 * table and the ssh master connections (internal to libvorn; the ssh
 * placement engine is place.h's). */
#ifndef VORN_HOSTS_H
#define VORN_HOSTS_H

#include "cluster.h"

#include <stdint.h>
#include <sys/types.h>

/* The host table, FILE_HOSTS: a header block, then one fixed record per
 * node in node order.  Written once, when the cluster is made. */
#define HOSTS_MAGIC "VORNHOST"
#define HOSTS_FORMAT 1
#define HOSTS_HEADER_SIZE 8192
#define HOSTS_RECORD_SIZE 512
#define HOSTS_CONFIG_MAX 4096
#define HOSTS_POWER_MAX 2048
#define HOSTS_DEST_MAX 504

struct hosts_header {
    char magic[8];
    uint32_t format;
    uint32_t record_size;
    uint32_t nhosts;
    uint32_t reserved[11];
    char ssh_config[HOSTS_CONFIG_MAX]; /* handed to ssh as -F; "" for none */
    char power[HOSTS_POWER_MAX];       /* run as root@host with reboot, halt or poweroff */
    char unused[HOSTS_HEADER_SIZE - 64 - HOSTS_CONFIG_MAX - HOSTS_POWER_MAX];
};

/* One node: the address its name resolved to when the cluster was made,
 * and the destination handed to ssh ("name" or "user@name", as listed). */
struct host_rec {
    uint32_t addr; /* network byte order */
    uint32_t reserved;
    char dest[HOSTS_DEST_MAX];
};

/* A host list read from the file a user names at vornemu init. */
struct host_list {
    struct host_rec *recs;
    int count;
};

/* Reads and resolves a host list; on failure -1 with a message in err
 * that names the file and line. */
int hosts_parse(const char *file, struct host_list *out, char *err, size_t errsize);
void hosts_free(struct host_list *l);
/* The master's address as the hosts see it: this machine's address on
 * the way to the first host. */
uint32_t hosts_master_addr(const struct host_list *l);
/* Writes the host table into the directory dirfd (a cluster being made). */
int hosts_write(int dirfd, const struct host_list *l, const char *ssh_config, const char *power);

/* 0 when the host table is sound and has a host for each node; else -1
 * (EIO). */
int hosts_valid(struct cluster *cl);
/* Whether cl is a cluster of hosts. */
int hosts_cluster(const struct cluster *cl);
/* The host of node, and the table's header (either may be null). */
int host_read(struct cluster *cl, int node, struct host_rec *h, struct hosts_header *hdr);
/* The node whose host has this address, or whose listed name is name;
 * -1 when none. */
int host_by_addr(struct cluster *cl, uint32_t addr);
int host_by_name(struct cluster *cl, const char *name);
/* vornemu check: the table's inconsistencies, printed; their count. */
int hosts_check(struct cluster *cl);

/* ---- Master connections (ssh_master.cc) ---- */

/* Sessions one master carries before the next master of the node is used:
 * sshd's MaxSessions is 10 by default, and a relayed signal needs one. */
#define SSH_SESSIONS_PER_MASTER 8
#define SSH_CONNECT_WAIT_MS 30000

/* A session slot on a node: the master it goes through, held (a lock on
 * fd) for as long as the session runs. */
struct ssh_slot {
    char ctl[4400]; /* the master's control socket */
    int fd;         /* the slot's lock, -1 when none is held */
    int master;     /* which of the node's masters */
};

/* Takes a session slot on node, on its master first or a later one, and
 * makes sure that master is up (started if not, bounded); EHOSTDOWN when
 * the host cannot be reached, with why in why. */
int ssh_slot_take(struct cluster *cl, int node, const struct host_rec *h,
                  const struct hosts_header *hdr, int first, struct ssh_slot *s, char *why,
                  size_t whysize);
void ssh_slot_drop(struct ssh_slot *s);
/* Opens the first master of every node that is not down, fanout at a
 * time; calls report for each node, with 0 or the errno and why. */
int ssh_connect_all(struct cluster *cl, int fanout,
                    void (*report)(void *ctx, int node, const char *dest, int err, const char *why),
                    void *ctx);
/* Ends every master of ours of this cluster; how many there were. */
int ssh_disconnect_all(struct cluster *cl);
/* Runs a command line on node's host with a connection of its own, as
 * root@host when as_root.  Bounded; its exit status, or -1. */
int ssh_run(struct cluster *cl, int node, const char *command, int as_root);

#endif

/* api.cc - the cluster library's queries, node control, permissions,
 * library list and miscellany, answered from the emulated cluster. */
#include "cluster.h"
#include "hosts.h"

#include <vorn/vorn.h>

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

/* Opens the cluster and applies an armed fault.  Returns the cluster, or
 * null with errno set (a fault is journaled when journal is set). */
static struct cluster *call_begin(const char *fn, int node, int has_node, const char *arg,
                                  int journal)
{
    struct cluster *cl = cluster_get();
    if (!cl)
        return NULL;
    int err = fault_take(cl, fn, node, has_node);
    if (err) {
        if (journal) {
            struct cl_line line = {fn, node, has_node, arg};
            journal_append(cl, &line, err);
        }
        errno = err;
        return NULL;
    }
    return cl;
}

/* Ends a journaled call that failed before changing anything: its line,
 * with the call's errno kept. */
static int call_refused(struct cluster *cl, const struct cl_line *line)
{
    int err = errno;
    journal_append(cl, line, err);
    errno = err;
    return -1;
}

static int node_in_range(struct cluster *cl, int node)
{
    if (node < -1 || (int64_t)node >= (int64_t)cl->hdr.nnodes) {
        errno = EINVAL;
        return 0;
    }
    return 1;
}

extern "C" {

/* The system's message; for a lock wait that just failed, which process
 * holds the lock. */
const char *vorn_strerror(int err)
{
    static char held[96];
    if ((err == EACCES || err == ENOTDIR || err == ELOOP) && cluster_foreign())
        return cluster_foreign();
    if (err == ENOLCK && lock_holder() > 0) {
        snprintf(held, sizeof held, "the cluster is locked by process %d (waited %d s)",
                 (int)lock_holder(), LOCK_WAIT_MS / 1000);
        return held;
    }
    return strerror(err);
}

/* ---- Queries ---- */

int vorn_numnodes(void)
{
    struct cluster *cl = call_begin("vorn_numnodes", 0, 0, NULL, 0);
    if (!cl)
        return -1;
    return (int)cl->hdr.nnodes;
}

int vorn_nodestatus(int node)
{
    struct cluster *cl = call_begin("vorn_nodestatus", node, 1, NULL, 0);
    struct cl_node n;
    if (!cl || !node_in_range(cl, node))
        return -1;
    if (node == -1)
        return VORN_NODE_UP;
    if (node_read_shared(cl, node, &n) < 0)
        return -1;
    return node_effective_state(&n, now_us());
}

static void info_fill(struct cluster *cl, int node, const struct cl_node *n,
                      struct vorn_node_info *info, int64_t now)
{
    if (node == -1) {
        info->node = -1;
        info->status = VORN_NODE_UP;
        info->mode = 0111;
        info->user = 0;
        info->group = 0;
        info->addr = cl->hdr.master_addr;
        return;
    }
    info->node = node;
    info->status = node_effective_state(n, now);
    info->mode = n->mode;
    info->user = n->user;
    info->group = n->group;
    info->addr = n->addr;
}

int vorn_nodeinfo(int node, struct vorn_node_info *info)
{
    struct cluster *cl = call_begin("vorn_nodeinfo", node, 1, NULL, 0);
    struct cl_node n;
    if (!cl || !node_in_range(cl, node))
        return -1;
    if (!info) {
        errno = EFAULT;
        return -1;
    }
    if (node >= 0) {
        if (node_read_shared(cl, node, &n) < 0)
            return -1;
    }
    info_fill(cl, node, &n, info, now_us());
    return 0;
}

struct nodelist_fill {
    struct cluster *cl;
    struct vorn_node_info *out;
    int64_t now;
};

static int nodelist_one(void *ctx, int node, const struct cl_node *n)
{
    struct nodelist_fill *f = (struct nodelist_fill *)ctx;
    info_fill(f->cl, node, n, &f->out[node], f->now);
    return 0;
}

int vorn_nodelist(struct vorn_node_info **list)
{
    struct cluster *cl = call_begin("vorn_nodelist", 0, 0, NULL, 0);
    if (!cl)
        return -1;
    if (!list) {
        errno = EFAULT;
        return -1;
    }
    int count = (int)cl->hdr.nnodes;
    struct nodelist_fill f = {cl, NULL, now_us()};
    f.out = (struct vorn_node_info *)malloc(count ? (size_t)count * sizeof *f.out : sizeof *f.out);
    if (!f.out)
        return -1;
    if (node_scan(cl, nodelist_one, &f) < 0) {
        int saved = errno;
        free(f.out);
        errno = saved;
        return -1;
    }
    *list = f.out;
    return count;
}

int vorn_proclist(int node, struct vorn_proc_info **list)
{
    struct cluster *cl = call_begin("vorn_proclist", node, 1, NULL, 0);
    if (!cl || !node_in_range(cl, node))
        return -1;
    if (!list) {
        errno = EFAULT;
        return -1;
    }
    struct cl_proc *procs = NULL;
    int count = 0;
    if (node >= 0) {
        if (cluster_lock(cl, 0) < 0)
            return -1;
        count = procs_placed(cl, node, &procs, 0);
        cluster_unlock(cl);
        if (count < 0)
            return -1;
    }
    struct vorn_proc_info *out =
        (struct vorn_proc_info *)malloc(count ? (size_t)count * sizeof *out : sizeof *out);
    if (!out) {
        free(procs);
        return -1;
    }
    for (int i = 0; i < count; i++) {
        out[i].pid = procs[i].pid;
        out[i].node = procs[i].node;
    }
    free(procs);
    *list = out;
    return count;
}

int vorn_pidnode(int pid)
{
    struct cluster *cl = call_begin("vorn_pidnode", 0, 0, NULL, 0);
    if (!cl)
        return -1;
    int node = proc_node(cl, pid);
    return node == INT32_MIN ? -1 : node;
}

int vorn_currnode(void)
{
    struct cluster *cl = call_begin("vorn_currnode", 0, 0, NULL, 0);
    if (!cl)
        return -1;
    int node = proc_node(cl, getpid());
    return node == INT32_MIN ? -1 : node;
}

/* A node's number in one of its forms, or -3. */
static int node_by_number(struct cluster *cl, const char *name)
{
    const char *p = name;
    if (*p == '.' || *p == 'n')
        p++;
    if (*p < '0' || *p > '9')
        return NODE_NONE;
    uint64_t v = 0;
    for (; *p; p++) {
        if (*p < '0' || *p > '9')
            return NODE_NONE;
        v = v * 10 + (uint64_t)(*p - '0');
        if (v >= cl->hdr.nnodes)
            return NODE_NONE;
    }
    return (int)v;
}

/* "master", a decimal node number, ".N" or "nN"; on a cluster of hosts
 * also the name a host is listed under; -3 for anything else. */
int vorn_getnodebyname(const char *name)
{
    struct cluster *cl = call_begin("vorn_getnodebyname", 0, 0, NULL, 0);
    if (!cl)
        return NODE_NONE;
    if (!name)
        return NODE_NONE;
    if (strcmp(name, "master") == 0)
        return NODE_MASTER;
    int node = node_by_number(cl, name);
    if (node == NODE_NONE && hosts_cluster(cl)) {
        node = host_by_name(cl, name);
        if (node < 0)
            node = NODE_NONE;
    }
    return node;
}

int vorn_nodenumber(const struct sockaddr_in *addr, int len)
{
    struct cluster *cl = call_begin("vorn_nodenumber", 0, 0, NULL, 0);
    if (!cl)
        return NODE_NONE;
    if (!addr || len < (int)sizeof *addr || addr->sin_family != AF_INET)
        return NODE_NONE;
    uint32_t a = addr->sin_addr.s_addr;
    if (a == cl->hdr.master_addr)
        return NODE_MASTER;
    if (hosts_cluster(cl)) {
        int node = host_by_addr(cl, a);
        return node >= 0 ? node : NODE_NONE;
    }
    uint32_t h = ntohl(a);
    if (h > 0x7f010000u && (uint64_t)(h - 0x7f010001u) < cl->hdr.nnodes)
        return (int)(h - 0x7f010001u);
    return NODE_NONE;
}

static int addr_fill(struct sockaddr_in *addr, int *len, uint32_t a)
{
    if (!addr || !len) {
        errno = EFAULT;
        return -1;
    }
    if (*len < (int)sizeof *addr) {
        errno = EINVAL;
        return -1;
    }
    memset(addr, 0, sizeof *addr);
    addr->sin_family = AF_INET;
    addr->sin_addr.s_addr = a;
    *len = (int)sizeof *addr;
    return 0;
}

int vorn_masteraddr(struct sockaddr_in *addr, int *len)
{
    struct cluster *cl = call_begin("vorn_masteraddr", 0, 0, NULL, 0);
    if (!cl)
        return -1;
    return addr_fill(addr, len, cl->hdr.master_addr);
}

int vorn_nodeaddr(int node, struct sockaddr_in *addr, int *len)
{
    struct cluster *cl = call_begin("vorn_nodeaddr", node, 1, NULL, 0);
    if (!cl || !node_in_range(cl, node))
        return -1;
    if (node == -1)
        return addr_fill(addr, len, cl->hdr.master_addr);
    struct cl_node n;
    if (node_read_shared(cl, node, &n) < 0)
        return -1;
    return addr_fill(addr, len, n.addr);
}

int vorn_access(int node, int mode)
{
    struct cluster *cl = call_begin("vorn_access", node, 1, NULL, 0);
    if (!cl || !node_in_range(cl, node))
        return -1;
    if (mode & ~7) {
        errno = EINVAL;
        return -1;
    }
    return node_access(cl, node, mode, 0);
}

int vorn_version(struct vorn_version_info *info)
{
    struct cluster *cl = call_begin("vorn_version", 0, 0, NULL, 0);
    if (!cl)
        return -1;
    if (!info) {
        errno = EFAULT;
        return -1;
    }
    memset(info, 0, sizeof *info);
    info->version[0] = '5';
    info->version[1] = '0';
    info->version[2] = '0';
#if defined(__x86_64__)
    info->code = 5;
#else
    info->code = 1;
#endif
    info->value = 2;
    strcpy(info->text, "emulated");
    return 0;
}

/* ---- Node control ---- */

enum node_op {
    OP_SETSTATUS,
    OP_CHROOT,
    OP_REBOOT,
    OP_HALT,
    OP_PWROFF,
    OP_PURGEFAIL,
    OP_PURGEOK,
    OP_REMASTER,
    OP_ORPHAN,
    OP_POLICY,
    OP_R2C,
    OP_RECONNECT,
    OP_CHMOD,
    OP_CHOWN,
    OP_CHGRP,
};

/* Exit policies a node accepts, by their stored number (0: none set). */
static const char *const policies[] = {"", "reboot", "remaster", "halt", "poweroff", "pwroff"};

static int op_needs_up(enum node_op op)
{
    switch (op) {
    case OP_CHROOT:
    case OP_REBOOT:
    case OP_HALT:
    case OP_PWROFF:
    case OP_PURGEFAIL:
    case OP_PURGEOK:
    case OP_REMASTER:
    case OP_ORPHAN:
    case OP_RECONNECT:
        return 1;
    default:
        return 0;
    }
}

static void sleep_until(int64_t deadline)
{
    for (;;) {
        int64_t left = deadline - now_us();
        if (left <= 0)
            return;
        struct timespec ts = {(time_t)(left / 1000000), (long)(left % 1000000) * 1000};
        nanosleep(&ts, NULL);
    }
}

struct op_args {
    int value;
    const char *text;
    int async;
    int policy;
};

/* Checks and applies one node-control call under the change's lock: the
 * line first, then the node's new record, then (reboot, halt) the kills. */
static int node_control_apply(struct cluster *cl, int node, enum node_op op,
                              const struct op_args *a, const struct cl_line *line,
                              int64_t *wait_until)
{
    struct cl_node n;
    struct cl_redo redo;
    int64_t now = now_us();
    int rc = -1;
    memset(&redo, 0, sizeof redo);
    if (node_read(cl, node, &n) < 0)
        goto refused;
    if (op_needs_up(op) && node_effective_state(&n, now) != VORN_NODE_UP) {
        errno = EHOSTDOWN;
        goto refused;
    }
    if (n.target != TARGET_NONE && now >= n.deadline_us) {
        n.state = n.target;
        n.target = TARGET_NONE;
        n.deadline_us = 0;
    }
    redo.kind = REDO_NODE;
    redo.node = node;
    switch (op) {
    case OP_SETSTATUS:
        n.state = a->value;
        n.target = TARGET_NONE;
        n.deadline_us = 0;
        break;
    case OP_CHROOT:
        redo.kind = REDO_CHROOT;
        redo.text = a->text;
        break;
    case OP_REBOOT:
    case OP_HALT:
    case OP_PWROFF:
        redo.nprocs = 1; /* the node's processes are killed once it is written */
        if (op == OP_REBOOT) {
            n.state = VORN_NODE_BOOT;
            n.target = VORN_NODE_UP;
            n.deadline_us = now + (int64_t)cl->hdr.boot_delay_ms * 1000;
            if (!a->async)
                *wait_until = n.deadline_us;
        } else {
            n.state = VORN_NODE_DOWN;
            n.target = TARGET_NONE;
            n.deadline_us = 0;
        }
        break;
    case OP_PURGEFAIL:
    case OP_PURGEOK:
    case OP_REMASTER:
    case OP_ORPHAN:
    case OP_RECONNECT:
        redo.kind = REDO_NONE;
        break;
    case OP_POLICY:
        n.policy = a->policy;
        break;
    case OP_R2C:
        n.r2c = a->value;
        break;
    case OP_CHMOD:
        n.mode = (uint32_t)a->value;
        break;
    case OP_CHOWN:
        n.user = (uint32_t)a->value;
        break;
    case OP_CHGRP:
        n.group = (uint32_t)a->value;
        break;
    }
    redo.rec = n;
    if (change_line(cl, line, 0, &redo) < 0)
        goto refused;
    if (redo.kind == REDO_NODE)
        rc = node_write(cl, node, &n);
    else if (redo.kind == REDO_CHROOT)
        rc = chroot_write(cl, node, a->text);
    else
        rc = 0;
    if (rc < 0) {
        change_undo(cl);
        goto refused;
    }
    /* Looked for only now that the node is written: a placement of
     * another user's (which takes no lock of ours) either sees the node
     * down and takes itself back, or is seen here. */
    if (redo.nprocs)
        procs_kill_node(cl, node);
    change_done(cl);
    goto out;
refused : {
    int err = errno;
    change_line(cl, line, err, NULL);
    errno = err;
}
out:
    return rc;
}

/* What a host does of a node-control call, before its record changes:
 * a host has no master to change or leave (EOPNOTSUPP); reboot, halt and
 * power-off run the cluster's power command on it as root, where one was
 * configured (EOPNOTSUPP otherwise). */
static int host_control(struct cluster *cl, int node, enum node_op op)
{
    if (op == OP_REMASTER || op == OP_ORPHAN || op == OP_RECONNECT) {
        errno = EOPNOTSUPP;
        return -1;
    }
    const char *action = op == OP_REBOOT   ? "reboot"
                         : op == OP_HALT   ? "halt"
                         : op == OP_PWROFF ? "poweroff"
                                           : NULL;
    if (!action)
        return 0;
    struct hosts_header *hdr = (struct hosts_header *)malloc(sizeof *hdr);
    char *cmd = (char *)malloc(HOSTS_POWER_MAX + 16);
    int rc = -1;
    if (!hdr || !cmd || host_read(cl, node, NULL, hdr) < 0)
        goto out;
    if (!hdr->power[0]) {
        errno = EOPNOTSUPP;
        goto out;
    }
    /* Nothing is run on a host that is down. */
    if (node_access(cl, node, 0, 1) < 0)
        goto out;
    snprintf(cmd, HOSTS_POWER_MAX + 16, "%s %s", hdr->power, action);
    {
        int status = ssh_run(cl, node, cmd, 1);
        rc = status == 0 ? 0 : -1;
        if (status != 0)
            errno = status == 255 || status < 0 ? EHOSTDOWN : EIO;
    }
out:
    free(hdr);
    free(cmd);
    return rc;
}

/* A node-control call: fault, node range (EINVAL), root (EPERM), not on
 * the master (EOPNOTSUPP), the argument (EINVAL), the node up where the
 * call needs it (EHOSTDOWN); one journal line whatever the outcome. */
static int node_control(const char *fn, int node, enum node_op op, struct op_args *a,
                        const char *arg)
{
    struct cl_line line = {fn, node, 1, arg};
    struct cluster *cl = call_begin(fn, node, 1, arg, 1);
    int64_t wait_until = 0;
    if (!cl)
        return -1;
    if (!node_in_range(cl, node))
        return call_refused(cl, &line);
    if (geteuid() != 0) {
        errno = EPERM;
        return call_refused(cl, &line);
    }
    if (node == -1) {
        errno = EOPNOTSUPP;
        return call_refused(cl, &line);
    }
    if (hosts_cluster(cl) && host_control(cl, node, op) < 0)
        return call_refused(cl, &line);
    switch (op) {
    case OP_SETSTATUS:
        if (a->value < 0 || a->value >= VORN_NODE_STATES) {
            errno = EINVAL;
            return call_refused(cl, &line);
        }
        break;
    case OP_CHROOT:
        if (!a->text || !*a->text) {
            errno = EINVAL;
            return call_refused(cl, &line);
        }
        if (strlen(a->text) >= CL_CHROOT_SLOT) {
            errno = ENAMETOOLONG;
            return call_refused(cl, &line);
        }
        break;
    case OP_POLICY:
        a->policy = 0;
        for (int i = 1; a->text && i < (int)(sizeof policies / sizeof policies[0]); i++)
            if (strcmp(a->text, policies[i]) == 0)
                a->policy = i;
        if (!a->policy) {
            errno = EINVAL;
            return call_refused(cl, &line);
        }
        break;
    case OP_R2C:
    case OP_RECONNECT: /* value: the addresses are unsound */
        if (a->value < 0) {
            errno = EINVAL;
            return call_refused(cl, &line);
        }
        break;
    default:
        break;
    }
    /* A lock that does not come leaves no line: the line needs it. */
    if (change_lock(cl) < 0)
        return -1;
    int rc = node_control_apply(cl, node, op, a, &line, &wait_until);
    change_unlock(cl);
    if (rc == 0 && wait_until)
        sleep_until(wait_until);
    return rc;
}

static int control_num(const char *fn, int node, enum node_op op, int value, int async)
{
    char arg[16];
    struct op_args a = {value, NULL, async, 0};
    snprintf(arg, sizeof arg, "%d", value);
    return node_control(fn, node, op, &a, arg);
}

static int control_plain(const char *fn, int node, enum node_op op, int async)
{
    struct op_args a = {0, NULL, async, 0};
    return node_control(fn, node, op, &a, NULL);
}

int vorn_nodesetstatus(int node, int state)
{
    return control_num("vorn_nodesetstatus", node, OP_SETSTATUS, state, 0);
}

int vorn_nodechroot(int node, const char *dir)
{
    struct op_args a = {0, dir, 0, 0};
    return node_control("vorn_nodechroot", node, OP_CHROOT, &a, dir);
}

int vorn_nodereboot(int node)
{
    return control_plain("vorn_nodereboot", node, OP_REBOOT, 0);
}

int vorn_nodehalt(int node)
{
    return control_plain("vorn_nodehalt", node, OP_HALT, 0);
}

int vorn_nodepwroff(int node)
{
    return control_plain("vorn_nodepwroff", node, OP_PWROFF, 0);
}

int vorn_nodereboot_async(int node)
{
    return control_plain("vorn_nodereboot_async", node, OP_REBOOT, 1);
}

int vorn_nodehalt_async(int node)
{
    return control_plain("vorn_nodehalt_async", node, OP_HALT, 1);
}

int vorn_nodepwroff_async(int node)
{
    return control_plain("vorn_nodepwroff_async", node, OP_PWROFF, 1);
}

int vorn_nodecachepurgefail(int node)
{
    return control_plain("vorn_nodecachepurgefail", node, OP_PURGEFAIL, 0);
}

int vorn_nodecachepurgeok(int node)
{
    return control_plain("vorn_nodecachepurgeok", node, OP_PURGEOK, 0);
}

int vorn_noderemaster(int node)
{
    return control_plain("vorn_noderemaster", node, OP_REMASTER, 0);
}

int vorn_nodeorphan(int node)
{
    return control_plain("vorn_nodeorphan", node, OP_ORPHAN, 0);
}

int vorn_nodepolicy(int node, const char *policy)
{
    struct op_args a = {0, policy, 0, 0};
    return node_control("vorn_nodepolicy", node, OP_POLICY, &a, policy);
}

int vorn_set_r2c(int node, int value)
{
    return control_num("vorn_set_r2c", node, OP_R2C, value, 0);
}

static void addr_text(char *buf, size_t size, const struct sockaddr_in *a, int len)
{
    char ip[INET_ADDRSTRLEN];
    if (!a || len < (int)sizeof *a) {
        snprintf(buf, size, "?");
        return;
    }
    inet_ntop(AF_INET, &a->sin_addr, ip, sizeof ip);
    snprintf(buf, size, "%s:%u", ip, (unsigned)ntohs(a->sin_port));
}

int vorn_nodereconnect(int node, const struct sockaddr_in *master, int master_len,
                       const struct sockaddr_in *local, int local_len)
{
    char m[32], l[32], arg[80];
    addr_text(m, sizeof m, master, master_len);
    addr_text(l, sizeof l, local, local_len);
    snprintf(arg, sizeof arg, "%s,%s", m, l);
    /* Unsound addresses are a bad argument, checked after the node, root
     * and master checks like every other. */
    int bad = !master || !local || master_len < (int)sizeof *master ||
              local_len < (int)sizeof *local || master->sin_family != AF_INET ||
              local->sin_family != AF_INET;
    struct op_args a = {bad ? -1 : 0, NULL, 0, 0};
    return node_control("vorn_nodereconnect", node, OP_RECONNECT, &a, arg);
}

int vorn_chmod(int node, int mode)
{
    return control_num("vorn_chmod", node, OP_CHMOD, mode, 0);
}

int vorn_chown(int node, int user)
{
    return control_num("vorn_chown", node, OP_CHOWN, user, 0);
}

int vorn_chgrp(int node, int group)
{
    return control_num("vorn_chgrp", node, OP_CHGRP, group, 0);
}

/* ---- Dumps: a user-space emulation cannot checkpoint a process. ---- */

int vorn_dump(int fd, int flags)
{
    char arg[16];
    snprintf(arg, sizeof arg, "%d", flags);
    (void)fd;
    struct cluster *cl = call_begin("vorn_dump", 0, 0, arg, 1);
    if (!cl)
        return -1;
    errno = ENOSYS;
    struct cl_line line = {"vorn_dump", 0, 0, arg};
    return call_refused(cl, &line);
}

int vorn_undump(int fd)
{
    (void)fd;
    struct cluster *cl = call_begin("vorn_undump", 0, 0, NULL, 1);
    if (!cl)
        return -1;
    errno = ENOSYS;
    struct cl_line line = {"vorn_undump", 0, 0, NULL};
    return call_refused(cl, &line);
}

int vorn_execdump(int fd, int flags, const char *path, char *const argv[], char *const envp[])
{
    (void)fd;
    (void)flags;
    (void)argv;
    (void)envp;
    struct cluster *cl = call_begin("vorn_execdump", 0, 0, path, 1);
    if (!cl)
        return -1;
    errno = ENOSYS;
    struct cl_line line = {"vorn_execdump", 0, 0, path};
    return call_refused(cl, &line);
}

/* ---- Library list: NUL-terminated names in insertion order. ---- */

static int libname_check(const char *name)
{
    if (!name || !*name) {
        errno = EINVAL;
        return -1;
    }
    if (strlen(name) > CL_NAME_MAX) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return 0;
}

/* Offset of name in the list, or -1. */
static long libs_find(const char *buf, size_t len, const char *name)
{
    size_t pos = 0;
    while (pos < len) {
        size_t l = strlen(buf + pos);
        if (strcmp(buf + pos, name) == 0)
            return (long)pos;
        pos += l + 1;
    }
    return -1;
}

enum lib_op { LIB_CLEAR, LIB_ADD, LIB_DEL };

static int lib_change(const char *fn, enum lib_op op, const char *name)
{
    struct cl_line line = {fn, 0, 0, name};
    struct cluster *cl = call_begin(fn, 0, 0, name, 1);
    char *buf = NULL;
    size_t len = 0;
    int rc = -1;
    if (!cl)
        return -1;
    if (geteuid() != 0) {
        errno = EPERM;
        return call_refused(cl, &line);
    }
    if (op != LIB_CLEAR && libname_check(name) < 0)
        return call_refused(cl, &line);
    if (change_lock(cl) < 0)
        return -1;
    if (op == LIB_CLEAR) {
        rc = libs_store(cl, "", 0, &line);
    } else if (libs_load(cl, &buf, &len) == 0) {
        long at = libs_find(buf, len, name);
        size_t l = strlen(name) + 1;
        if (op == LIB_ADD && at >= 0) {
            errno = EEXIST;
        } else if (op == LIB_ADD) {
            char *g = (char *)realloc(buf, len + l);
            if (g) {
                buf = g;
                memcpy(buf + len, name, l);
                rc = libs_store(cl, buf, len + l, &line);
            }
        } else if (at < 0) {
            errno = ENOENT;
        } else {
            memmove(buf + at, buf + at + l, len - (size_t)at - l);
            rc = libs_store(cl, buf, len - l, &line);
        }
    }
    if (rc < 0) {
        /* Refused, or failed before its line: the line says why. */
        int err = errno;
        change_line(cl, &line, err, NULL);
        errno = err;
    }
    change_unlock(cl);
    int saved = errno;
    free(buf);
    errno = saved;
    return rc;
}

int vorn_libclear(void)
{
    return lib_change("vorn_libclear", LIB_CLEAR, NULL);
}

int vorn_libadd(const char *name)
{
    return lib_change("vorn_libadd", LIB_ADD, name);
}

int vorn_libdel(const char *name)
{
    return lib_change("vorn_libdel", LIB_DEL, name);
}

int vorn_liblist(char **list)
{
    struct cluster *cl = call_begin("vorn_liblist", 0, 0, NULL, 0);
    char *buf = NULL;
    size_t len = 0;
    if (!cl)
        return -1;
    if (!list) {
        errno = EFAULT;
        return -1;
    }
    if (cluster_lock(cl, 0) < 0)
        return -1;
    int rc = libs_load(cl, &buf, &len);
    cluster_unlock(cl);
    if (rc < 0)
        return -1;
    /* file_load leaves a NUL after the data: the empty name that ends
     * the list. */
    buf[len] = 0;
    *list = buf;
    return 0;
}

/* ---- File cache: the local file system. ---- */

int vorn_requestfile(const char *path)
{
    struct cluster *cl = call_begin("vorn_requestfile", 0, 0, NULL, 0);
    if (!cl)
        return -1;
    if (!path || !*path) {
        errno = path ? ENOENT : EFAULT;
        return -1;
    }
    return open(path, O_RDONLY);
}

} /* extern "C" */

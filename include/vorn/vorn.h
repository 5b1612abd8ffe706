/* vorn.h - interface of the cluster library libvorn.so.2 and the records
 * that cross into it (node states, node-info, process-list, version and
 * I/O redirection records).  Usable from C and C++, i386 and x86-64. */
#ifndef VORN_VORN_H
#define VORN_VORN_H

#include <stddef.h>
#include <stdint.h>
#include <netinet/in.h>

#ifdef __cplusplus
extern "C" {
#define VORN_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define VORN_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* Special node numbers. */
#define NODE_MASTER (-1)
#define NODE_SELF (-2)
#define NODE_NONE (-3)
#define NODE_ANY (-4)
#define STATUS_NONE (-2)

/* Node states; the names are VORN_STATE_NAMES, indexed by state. */
#define VORN_NODE_DOWN 0
#define VORN_NODE_BOOT 1
#define VORN_NODE_ERROR 2
#define VORN_NODE_UNAVAILABLE 3
#define VORN_NODE_UP 4
#define VORN_NODE_STATES 5
#define VORN_STATE_NAMES {"down", "boot", "error", "unavailable", "up"}

/* Migration (dump) flags. */
#define DUMP_LIBS 1
#define DUMP_EXEC 2
#define DUMP_OTHER 4
#define DUMP_ALL 7

/* Kinds of I/O redirection record. */
#define IO_FILE 0
#define IO_SOCKET 1

/* Node-info record: one per slave node, element i of the node list
 * describes node i.  addr is in network byte order. */
struct vorn_node_info {
    int32_t node;
    int32_t status;
    uint32_t mode;
    uint32_t user;
    uint32_t group;
    uint32_t addr;
};

/* Process-list record: a process placed on the queried node. */
struct vorn_proc_info {
    int32_t pid;
    int32_t node;
};

/* Version record: 32 bytes filled by vorn_version. */
struct vorn_version_info {
    char version[3];
    unsigned char code;
    int32_t value;
    char text[24];
};

/* I/O redirection record: how one descriptor of a placed process is set
 * up, either as a TCP connection (IO_SOCKET) or as an opened file
 * (IO_FILE).  With send_header set, a socket connection opens with the
 * connection header: process id, then fd, each int32 in host order. */
struct io_redirect {
    int32_t fd;
    unsigned int type : 2;
    unsigned int send_header : 1;
    union {
        struct sockaddr_in addr;
        struct {
            int32_t open_flags;
            int32_t open_mode;
            long offset;
            char name[256];
        } file;
    } d;
};

VORN_STATIC_ASSERT(sizeof(struct vorn_node_info) == 24, "node-info record is 24 bytes");
VORN_STATIC_ASSERT(offsetof(struct vorn_node_info, status) == 4, "status at 4");
VORN_STATIC_ASSERT(offsetof(struct vorn_node_info, mode) == 8, "mode at 8");
VORN_STATIC_ASSERT(offsetof(struct vorn_node_info, user) == 12, "user at 12");
VORN_STATIC_ASSERT(offsetof(struct vorn_node_info, group) == 16, "group at 16");
VORN_STATIC_ASSERT(offsetof(struct vorn_node_info, addr) == 20, "addr at 20");
VORN_STATIC_ASSERT(sizeof(struct vorn_proc_info) == 8, "process-list record is 8 bytes");
VORN_STATIC_ASSERT(offsetof(struct vorn_proc_info, node) == 4, "node at 4");
VORN_STATIC_ASSERT(sizeof(struct vorn_version_info) == 32, "version record is 32 bytes");
VORN_STATIC_ASSERT(offsetof(struct vorn_version_info, code) == 3, "code at 3");
VORN_STATIC_ASSERT(offsetof(struct vorn_version_info, value) == 4, "value at 4");
VORN_STATIC_ASSERT(offsetof(struct vorn_version_info, text) == 8, "text at 8");
VORN_STATIC_ASSERT(sizeof(struct sockaddr_in) == 16, "sockaddr_in is 16 bytes");
VORN_STATIC_ASSERT(offsetof(struct io_redirect, d) == 8, "variant part at 8");
VORN_STATIC_ASSERT(offsetof(struct io_redirect, d.file.open_mode) == 12, "open_mode at 12");
VORN_STATIC_ASSERT(offsetof(struct io_redirect, d.file.offset) == 16, "offset at 16");
#if defined(__x86_64__)
VORN_STATIC_ASSERT(sizeof(struct io_redirect) == 280, "io_redirect is 280 bytes on x86-64");
VORN_STATIC_ASSERT(offsetof(struct io_redirect, d.file.name) == 24, "name at 24 on x86-64");
#elif defined(__i386__)
VORN_STATIC_ASSERT(sizeof(struct io_redirect) == 276, "io_redirect is 276 bytes on i386");
VORN_STATIC_ASSERT(offsetof(struct io_redirect, d.file.name) == 20, "name at 20 on i386");
#endif

/* Error text for an error number, owned by the library. */
const char *vorn_strerror(int err);

/* Queries. */
int vorn_numnodes(void);
int vorn_currnode(void);
int vorn_nodestatus(int node);
int vorn_nodeinfo(int node, struct vorn_node_info *info);
int vorn_nodelist(struct vorn_node_info **list);
int vorn_proclist(int node, struct vorn_proc_info **list);
int vorn_pidnode(int pid);
int vorn_getnodebyname(const char *name);
int vorn_nodenumber(const struct sockaddr_in *addr, int len);
int vorn_masteraddr(struct sockaddr_in *addr, int *len);
int vorn_nodeaddr(int node, struct sockaddr_in *addr, int *len);
int vorn_access(int node, int mode);
int vorn_version(struct vorn_version_info *info);
int vorn_notifier(void);

/* Node control. */
int vorn_nodesetstatus(int node, int state);
int vorn_nodechroot(int node, const char *dir);
int vorn_nodereboot(int node);
int vorn_nodehalt(int node);
int vorn_nodepwroff(int node);
int vorn_nodereboot_async(int node);
int vorn_nodehalt_async(int node);
int vorn_nodepwroff_async(int node);
int vorn_nodecachepurgefail(int node);
int vorn_nodecachepurgeok(int node);
int vorn_noderemaster(int node);
int vorn_nodeorphan(int node);
int vorn_nodepolicy(int node, const char *policy);
int vorn_set_r2c(int node, int value);
int vorn_nodereconnect(int node, const struct sockaddr_in *master, int master_len,
                       const struct sockaddr_in *local, int local_len);
int vorn_chmod(int node, int mode);
int vorn_chown(int node, int user);
int vorn_chgrp(int node, int group);

/* Placement with I/O redirection (records null and count -1: none). */
int vorn_rexec_io(int node, struct io_redirect *io, int iolen, const char *path,
                  char *const argv[], char *const envp[]);
int vorn_execmove_io(int node, struct io_redirect *io, int iolen, const char *path,
                     char *const argv[], char *const envp[]);
int _vorn_move_io(int node, struct io_redirect *io, int iolen, int flags);
int _vorn_rfork_io(int node, struct io_redirect *io, int iolen, int flags);
int _vorn_vrfork_io(int *nodes, int nnodes, struct io_redirect *io, int iolen, int flags);

/* Process dumps. */
int vorn_dump(int fd, int flags);
int vorn_undump(int fd);
int vorn_execdump(int fd, int flags, const char *path, char *const argv[],
                  char *const envp[]);

/* Memsnap library list: vorn_liblist hands back a malloc block of
 * NUL-terminated names ended by an empty name. */
int vorn_libclear(void);
int vorn_libadd(const char *name);
int vorn_libdel(const char *name);
int vorn_liblist(char **list);

/* File cache: a readable descriptor owned by the caller. */
int vorn_requestfile(const char *path);

#ifdef __cplusplus
}
#endif

#endif /* VORN_VORN_H */

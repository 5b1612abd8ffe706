// probe.cc - a small client of the cluster library, built for the other
// architecture too, to show that i386 and x86-64 processes share a cluster.
#include <vorn/vorn.h>

#include <arpa/inet.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

static int fail(const char *what)
{
    printf("%s: %s\n", what, vorn_strerror(errno));
    return 1;
}

// probe info N | chmod N MODE | status N STATE | halt N | place N |
//       vrfork N M | libadd NAME | arch
int main(int argc, char **argv)
{
    if (argc == 2 && strcmp(argv[1], "arch") == 0) {
        struct vorn_version_info v;
        if (vorn_version(&v) < 0)
            return fail("vorn_version");
        printf("%d %d\n", (int)sizeof(void *) * 8, v.code);
        return 0;
    }
    if (argc < 3)
        return 2;
    if (strcmp(argv[1], "libadd") == 0) {
        if (vorn_libadd(argv[2]) < 0)
            return fail("vorn_libadd");
        return 0;
    }
    int node = atoi(argv[2]);
    if (strcmp(argv[1], "info") == 0) {
        struct vorn_node_info i;
        if (vorn_nodeinfo(node, &i) < 0)
            return fail("vorn_nodeinfo");
        struct in_addr a;
        a.s_addr = i.addr;
        printf("%d %d %o %u %u %s\n", i.node, i.status, i.mode, i.user, i.group, inet_ntoa(a));
        return 0;
    }
    if (strcmp(argv[1], "chmod") == 0 && argc == 4) {
        if (vorn_chmod(node, (int)strtol(argv[3], NULL, 8)) < 0)
            return fail("vorn_chmod");
        return 0;
    }
    if (strcmp(argv[1], "status") == 0 && argc == 4) {
        if (vorn_nodesetstatus(node, atoi(argv[3])) < 0)
            return fail("vorn_nodesetstatus");
        return 0;
    }
    if (strcmp(argv[1], "halt") == 0) {
        if (vorn_nodehalt(node) < 0)
            return fail("vorn_nodehalt");
        return 0;
    }
    if (strcmp(argv[1], "vrfork") == 0 && argc == 4) {
        // Fork one child onto each of two nodes; the children end at once.
        int nodes[2] = {node, atoi(argv[3])};
        int rc = _vorn_vrfork_io(nodes, 2, NULL, -1, 0);
        if (rc < 0)
            return fail("_vorn_vrfork_io");
        if (rc < 2)
            _exit(0);
        while (wait(NULL) > 0) {
        }
        return 0;
    }
    if (strcmp(argv[1], "place") == 0) {
        // Move here, say so, and stay until standard input ends.
        if (_vorn_move_io(node, NULL, -1, 0) < 0)
            return fail("_vorn_move_io");
        printf("%d %d\n", (int)getpid(), vorn_currnode());
        fflush(stdout);
        char buf[64];
        while (read(0, buf, sizeof buf) > 0) {
        }
        return 0;
    }
    return 2;
}

// numlist-demo.cc - vorn-numlist-demo: prints the nodes that node-list
// expressions name; "-s NODE STATE" first sets a node's state (as root).
#include <vorn/numlist.h>
#include <vorn/vorn.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static int state_number(const char *name)
{
    static const char *const names[VORN_NODE_STATES] = VORN_STATE_NAMES;
    for (int i = 0; i < VORN_NODE_STATES; i++)
        if (strcmp(name, names[i]) == 0)
            return i;
    return -1;
}

int main(int argc, char **argv)
{
    int status = 0;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "-s") == 0 && i + 2 < argc) {
            int node = atoi(argv[i + 1]);
            int state = state_number(argv[i + 2]);
            i += 2;
            if (state < 0 || vorn_nodesetstatus(node, state) < 0) {
                fprintf(stderr, "node %d: %s\n", node,
                        state < 0 ? "no such state" : vorn_strerror(errno));
                status = 1;
            }
            numlist_reset(); // the states changed: fetch the table again
            continue;
        }
        struct numlist nl = {nullptr, 0, 0};
        int rc = str2numlist(&nl, argv[i]);
        printf("%-14s ->", argv[i]);
        for (int k = 0; k < nl.num; k++)
            printf(" %d", nl.list[k]);
        printf(rc < 0 ? "  (bad expression)\n" : "\n");
        free(nl.list);
        if (rc < 0)
            status = 1;
    }
    return status;
}

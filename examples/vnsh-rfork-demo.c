/* vnsh-rfork-demo.c - forks a child onto each node named with _vnsh_rfork;
 * every line a child writes comes back labelled with its node. */
#include <vorn/vnsh_io.h>
#include <vorn/vorn.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

static int child_work(int n)
{
    for (int i = 1; i <= 3; i++) {
        printf("child %d, pid %d, on node %d: line %d\n", n, (int)getpid(), vorn_currnode(), i);
        fflush(stdout);
        usleep(100000);
    }
    fprintf(stderr, "child %d: done\n", n);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s NODE...\n", argv[0]);
        return 2;
    }
    int status = 0;
    for (int n = 1; n < argc; n++) {
        fflush(stdout);
        int pid = _vnsh_rfork(atoi(argv[n]), VNSH_LINEBUF | VNSH_PREFIX, 0);
        if (pid == 0)
            return child_work(n);
        if (pid < 0) {
            perror("_vnsh_rfork");
            status = 1;
        }
    }
    /* The children and their listeners; the last output is forwarded once
     * every listener has ended. */
    while (wait(NULL) > 0 || errno == EINTR) {
    }
    printf("parent, pid %d, on node %d: all children done\n", (int)getpid(), vorn_currnode());
    return status;
}

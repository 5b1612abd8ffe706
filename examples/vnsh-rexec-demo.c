/* vnsh-rexec-demo.c - runs a program on a node with vnsh_rexec; its output
 * comes back line by line behind the node number, its input from here. */
#include <vorn/vnsh_io.h>

#include <stdio.h>
#include <stdlib.h>

extern char **environ;

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: %s NODE PROGRAM [ARG...]\n", argv[0]);
        return 2;
    }
    int node = atoi(argv[1]);
    vnsh_rexec(node, argv[2], argv + 2, environ, VNSH_LINEBUF | VNSH_PREFIX);
    /* Still here: the program could not be placed. */
    perror("vnsh_rexec");
    return 1;
}

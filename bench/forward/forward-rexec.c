/* forward-rexec.c - runs a program on a node through vnsh_rexec with the
 * listener flags given, for the forwarding benchmark. */
#include <vorn/vnsh_io.h>

#include <stdio.h>
#include <stdlib.h>

extern char **environ;

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: forward-rexec NODE FLAGS PROGRAM [ARG...]\n");
        return 2;
    }
    vnsh_rexec(atoi(argv[1]), argv[3], argv + 3, environ, (int)strtol(argv[2], NULL, 0));
    perror("vnsh_rexec");
    return 1;
}

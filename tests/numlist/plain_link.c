/* plain_link.c - a plain C program that parses the node lists named on its
 * command line; linked with the C compiler against numlist.o alone. */
#include <stdio.h>
#include <stdlib.h>
#include <vorn/numlist.h>

int main(int argc, char **argv)
{
    struct numlist nl = {0, 0, 0};
    for (int i = 1; i < argc; i++) {
        if (str2numlist(&nl, argv[i]) < 0) {
            fprintf(stderr, "bad node list: %s\n", argv[i]);
            return 1;
        }
    }
    for (int i = 0; i < nl.num; i++)
        printf(i ? " %d" : "%d", nl.list[i]);
    printf("\n");
    free(nl.list);
    numlist_reset();
    return 0;
}

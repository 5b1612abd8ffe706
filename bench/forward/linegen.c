/* linegen.c - writes BYTES of output in 80-byte lines, 64 KiB at a time:
 * the data that the forwarding benchmark moves. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: linegen BYTES\n");
        return 2;
    }
    long long total = atoll(argv[1]);
    static char buf[65520]; /* 819 lines of 80 bytes */
    for (size_t i = 0; i < sizeof buf; i += 80) {
        snprintf(buf + i, 81, "%06zu ", i / 80);
        memset(buf + i + 7, 'x', 72);
        buf[i + 79] = '\n';
    }
    while (total > 0) {
        size_t n = total < (long long)sizeof buf ? (size_t)total : sizeof buf;
        size_t done = 0;
        while (done < n) {
            ssize_t w = write(1, buf + done, n - done);
            if (w <= 0)
                return 1;
            done += (size_t)w;
        }
        total -= (long long)n;
    }
    return 0;
}

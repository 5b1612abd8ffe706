/* linewrite.c - the bound that one write per line puts on line mode: reads
 * standard input as the listener reads a stream (4096 bytes at a time) and
 * writes each line behind the "%3d: " prefix of NODE with one write. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define BUF 4096

static int write_all(const char *p, size_t len)
{
    while (len > 0) {
        ssize_t w = write(1, p, len);
        if (w <= 0)
            return -1;
        p += w;
        len -= (size_t)w;
    }
    return 0;
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: linewrite NODE\n");
        return 2;
    }
    char prefix[16], in[BUF], line[16 + BUF + 1];
    int plen = snprintf(prefix, sizeof prefix, "%3d: ", atoi(argv[1]));
    memcpy(line, prefix, plen);
    size_t held = 0;
    for (;;) {
        ssize_t n = read(0, in + held, BUF - held);
        if (n <= 0)
            break;
        size_t end = held + (size_t)n, start = 0;
        char *nl;
        while (start < end && (nl = memchr(in + start, '\n', end - start)) != NULL) {
            size_t len = (size_t)(nl + 1 - (in + start));
            memcpy(line + plen, in + start, len);
            if (write_all(line, plen + len) < 0)
                return 1;
            start += len;
        }
        held = end - start;
        memmove(in, in + start, held);
        if (held == BUF) {
            memcpy(line + plen, in, held);
            line[plen + held] = '\n';
            if (write_all(line, plen + held + 1) < 0)
                return 1;
            held = 0;
        }
    }
    if (held > 0) {
        memcpy(line + plen, in, held);
        line[plen + held] = '\n';
        if (write_all(line, plen + held + 1) < 0)
            return 1;
    }
    return 0;
}

/* journal.cc - the journal: one line per call that changes the cluster
 * or places a process. */
#include "cluster.h"

#include <vorn/vorn.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

/* Appends text to a line buffer with tab, newline and backslash escaped. */
static size_t escape_into(char *out, size_t pos, size_t size, const char *s)
{
    for (; *s && pos + 3 < size; s++) {
        char c = *s;
        if (c == '\t' || c == '\n' || c == '\\') {
            out[pos++] = '\\';
            out[pos++] = c == '\t' ? 't' : c == '\n' ? 'n' : '\\';
        } else {
            out[pos++] = c;
        }
    }
    return pos;
}

void journal_append(struct cluster *cl, const char *fn, int node, int has_node, const char *arg,
                    int err)
{
    if (!cl || cl->journal_fd < 0)
        return;
    int saved = errno;
    char line[2 * CL_NAME_MAX + 512];
    int64_t t = now_us();
    char nodebuf[16], res[32];
    if (has_node)
        snprintf(nodebuf, sizeof nodebuf, "%d", node);
    else
        strcpy(nodebuf, "-");
    if (err == 0) {
        strcpy(res, "0");
    } else {
        const char *name = errno_name(err);
        if (name)
            snprintf(res, sizeof res, "%s", name);
        else
            snprintf(res, sizeof res, "%d", err);
    }
    int len = snprintf(line, sizeof line, "%lld.%06lld\t%u\t%s\t%s\t", (long long)(t / 1000000),
                       (long long)(t % 1000000), (unsigned)geteuid(), fn, nodebuf);
    size_t pos = (size_t)len;
    pos = escape_into(line, pos, sizeof line - 64, arg && *arg ? arg : "-");
    pos += (size_t)snprintf(line + pos, sizeof line - pos, "\t%s\n", res);
    /* One write per line: O_APPEND keeps concurrent lines whole. */
    ssize_t w = write(cl->journal_fd, line, pos);
    (void)w;
    errno = saved;
}

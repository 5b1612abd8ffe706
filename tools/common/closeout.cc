// closeout.cc - checks standard output when a tool ends, so that a lost
// write is a failure and never a silent success.
#include "closeout.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

static const char *program = "vorn";

void closeout_set_name(const char *name)
{
    const char *slash = strrchr(name, '/');
    program = slash ? slash + 1 : name;
}

// 0 when everything written to stream reached its descriptor.  A stream
// whose descriptor was closed counts as lost only when something was
// written to it.
static int flush_stream(FILE *stream)
{
    errno = 0;
    if (ferror(stream) || fflush(stream) != 0)
        return -1;
    int fd = fileno(stream);
    if (fd < 0)
        return 0;
    // Some file systems report a deferred write error only at close.
    fd = dup(fd);
    if (fd < 0)
        return errno == EBADF ? 0 : -1;
    return close(fd) == 0 ? 0 : -1;
}

void close_stdout(void)
{
    if (flush_stream(stdout) != 0) {
        int err = errno;
        if (err)
            fprintf(stderr, "%s: write error: %s\n", program, strerror(err));
        else
            fprintf(stderr, "%s: write error\n", program);
        _exit(1);
    }
    if (flush_stream(stderr) != 0)
        _exit(1);
}

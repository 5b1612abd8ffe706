// input.cc - standard input copied to every run that gets it, held for
// the slowest of the programs running up to a window, and whole for the
// runs that wait for their turn under -f.
#include "vnsh.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

// Standard input, shared by every run that gets it: bytes from in_base on.
static struct buf inbuf;
static uint64_t in_base;
int in_open; // standard input not yet at its end

// The lowest offset a started run still needs, as last counted; dirty once
// a run that may have been there has moved on or gone, or a run started.
static uint64_t low_seen;
static int low_dirty = 1;

// The lowest offset that a run still needs: of the started runs alone, or
// of those and the runs not yet started (which need all of it).
static uint64_t input_low(int started_only)
{
    uint64_t low = in_base + inbuf.len;
    for (int i = 0; i < nruns; i++) {
        const struct run *r = &runs[i];
        if (!r->in_wanted || r->state == RUN_FAILED)
            continue;
        if (r->state == RUN_WAITING ? started_only : r->in_fd < 0)
            continue;
        if (r->in_off < low)
            low = r->in_off;
    }
    return low;
}

void input_moved(uint64_t from)
{
    if (from <= low_seen)
        low_dirty = 1;
}

int input_pending(const struct run *r)
{
    return r->in_off < in_base + inbuf.len;
}

// Whether standard input may be read on: the slowest program running is
// less than the window behind (the programs that wait for their turn do not
// hold the others back: input is kept whole for them).  What every run has
// had is dropped first.
int input_room(void)
{
    if (!in_open)
        return 0;
    if (in_base + inbuf.len - low_seen < INPUT_WINDOW)
        return 1;
    if (!low_dirty)
        return 0;
    low_seen = input_low(1);
    low_dirty = 0;
    uint64_t keep = input_low(0);
    size_t drop = (size_t)(keep - in_base);
    if (drop > 0) {
        memmove(inbuf.p, inbuf.p + drop, inbuf.len - drop);
        inbuf.len -= drop;
        in_base = keep;
    }
    return in_base + inbuf.len - low_seen < INPUT_WINDOW;
}

void input_read(void)
{
    char data[READ_SIZE];
    ssize_t n = read(0, data, sizeof data);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n > 0)
        buf_add(&inbuf, data, (size_t)n);
    else
        in_open = 0;
    // Every run with its input open has something to do now: more to
    // write, or its input to end.
    for (int i = 0; i < nruns; i++) {
        struct run *r = &runs[i];
        if (r->in_fd < 0)
            continue;
        if (n > 0)
            watch_in(r, 1);
        else if (!input_pending(r))
            run_close_in(r);
    }
}

// Writes what waits for one run; ends its input when all is written and
// standard input has ended, or when the other side is gone.
void input_write(struct run *r)
{
    uint64_t end = in_base + inbuf.len, from = r->in_off;
    while (r->in_off < end) {
        size_t at = (size_t)(r->in_off - in_base);
        ssize_t n = write(r->in_fd, inbuf.p + at, (size_t)(end - r->in_off));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            break;
        if (n <= 0) {
            run_close_in(r);
            return;
        }
        r->in_off += (uint64_t)n;
    }
    if (r->in_off != from)
        input_moved(from);
    if (r->in_off < end)
        return;
    if (!in_open)
        run_close_in(r);
    else
        watch_in(r, 0);
}

// label.cc - the nodes' output written here as it arrives: whole lines
// behind the node's label, pieces with -u, or the bytes as they are.
#include "vnsh.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

static struct ostream *open_line[2]; // -u: the stream whose line is open
static struct buf obuf;              // what one read gives, put together

void output_write(int s, const char *data, size_t len)
{
    if (out_dead[s] || len == 0)
        return;
    if (write_all(s + 1, data, len) == 0)
        return;
    // The local stream is gone: stop reading what would go there, so that
    // the programs see their output closed, as a local program would.
    out_dead[s] = errno;
    for (int i = 0; i < nruns; i++)
        run_close_out(&runs[i], s);
}

// The label is formatted once for each read rather than for each line: a
// read's lines all come from one node.
static void label_add(struct buf *b, int node)
{
    static int last = INT_MIN;
    static char prefix[16];
    static size_t len;
    if (!labels)
        return;
    if (node != last) {
        len = (size_t)snprintf(prefix, sizeof prefix, "%3d: ", node);
        last = node;
    }
    buf_add(b, prefix, len);
}

// Line mode: whole lines of any length, each behind its label; all
// complete lines of one read go out in one write.  An unfinished last
// line is ended with a newline when the stream ends, unless -L asked for
// each node's bytes exactly.
static void lines_feed(struct run *r, int s, const char *p, size_t n, int final)
{
    struct ostream *o = &r->out[s];
    obuf.len = 0;
    const char *nl;
    while (n > 0 && (nl = static_cast<const char *>(memchr(p, '\n', n))) != nullptr) {
        size_t k = (size_t)(nl - p) + 1;
        label_add(&obuf, r->node);
        buf_add(&obuf, o->line.p, o->line.len);
        buf_add(&obuf, p, k);
        o->line.len = 0;
        p += k;
        n -= k;
    }
    buf_add(&o->line, p, n);
    if (final && o->line.len) {
        label_add(&obuf, r->node);
        buf_add(&obuf, o->line.p, o->line.len);
        if (!no_label)
            buf_add(&obuf, "\n", 1);
    }
    if (final || (o->line.len == 0 && o->line.cap > READ_SIZE))
        buf_free(&o->line);
    output_write(s, obuf.p, obuf.len);
    if (obuf.cap > 4 * READ_SIZE)
        buf_free(&obuf);
}

// -u with several runs: pieces go out as they come, labelled at the start
// of each line.  With labels, a line left open is ended with a newline
// before another node's output is written, so lines of two nodes never
// meet; with -L nothing is added to the data.
static void pieces_feed(struct run *r, int s, const char *p, size_t n, int final)
{
    struct ostream *o = &r->out[s];
    obuf.len = 0;
    if (labels && open_line[s] && open_line[s] != o && n > 0) {
        buf_add(&obuf, "\n", 1);
        open_line[s]->midline = 0;
        open_line[s] = nullptr;
    }
    while (n > 0) {
        if (!o->midline)
            label_add(&obuf, r->node);
        const char *nl = static_cast<const char *>(memchr(p, '\n', n));
        size_t k = nl ? (size_t)(nl - p) + 1 : n;
        buf_add(&obuf, p, k);
        o->midline = !nl;
        p += k;
        n -= k;
    }
    if (final && o->midline && labels) {
        buf_add(&obuf, "\n", 1);
        o->midline = 0;
    }
    if (o->midline)
        open_line[s] = o;
    else if (open_line[s] == o)
        open_line[s] = nullptr;
    output_write(s, obuf.p, obuf.len);
}

void output_feed(struct run *r, int s, const char *p, size_t n, int final)
{
    if (gather)
        gather_feed(r, s, p, n);
    else if (line_mode)
        lines_feed(r, s, p, n, final);
    else if (nruns > 1)
        pieces_feed(r, s, p, n, final);
    else
        output_write(s, p, n);
}

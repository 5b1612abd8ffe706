// bench_numlist.cc - nodes appended per second by str2numlist for the given
// expressions, next to a plain loop that writes the same node numbers.
#include <vorn/numlist.h>
#include <vorn/vorn.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

static double now(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Seconds for one parse of expr into a fresh list, best of a few runs
// (at least three, and at least half a second in all); *count gets the
// number of nodes appended and *copy a malloc copy of them.
static double parse_time(const char *expr, int *count, int **copy)
{
    double best = 1e30, spent = 0;
    *count = -1;
    *copy = nullptr;
    for (int run = 0; run < 3 || spent < 0.5; run++) {
        struct numlist nl = {nullptr, 0, 0};
        double t0 = now();
        int rc = str2numlist(&nl, expr);
        double t = now() - t0;
        if (rc < 0) {
            fprintf(stderr, "bench_numlist: bad expression %s\n", expr);
            free(nl.list);
            return -1;
        }
        spent += t;
        if (t < best)
            best = t;
        if (!*copy) {
            *count = nl.num;
            *copy = nl.list;
        } else {
            free(nl.list);
        }
    }
    return best;
}

// Seconds for a plain loop that writes the same numbers into an array
// allocated once, best of as many runs as fit in half a second.
static double loop_time(const int *nodes, int count)
{
    int *out = (int *)malloc((count ? count : 1) * sizeof(int));
    double best = 1e30, spent = 0;
    for (int run = 0; run < 3 || spent < 0.5; run++) {
        double t0 = now();
        for (int i = 0; i < count; i++)
            out[i] = nodes[i];
        __asm__ volatile("" : : "r"(out) : "memory");
        double t = now() - t0;
        spent += t;
        if (t < best)
            best = t;
    }
    free(out);
    return best;
}

int main(int argc, char **argv)
{
    int first = 1;
    if (argc > 2 && strcmp(argv[1], "-d") == 0) {
        // Every STEP-th node down (0, STEP, 2*STEP, ...), the rest up.
        int step = atoi(argv[2]);
        int n = vorn_numnodes();
        double t0 = now();
        for (int i = 0; step > 0 && i < n; i += step) {
            if (vorn_nodesetstatus(i, VORN_NODE_DOWN) < 0) {
                fprintf(stderr, "bench_numlist: node %d: %s\n", i, vorn_strerror(errno));
                return 1;
            }
        }
        fprintf(stderr, "nodes 0, %d, %d, ... of %d set down in %.2f s\n", step, 2 * step, n,
                now() - t0);
        first = 3;
    }

    struct numlist nl = {nullptr, 0, 0};
    double t0 = now();
    if (str2numlist(&nl, "") < 0)
        return 1;
    printf("fetch %.6f\n", now() - t0);
    free(nl.list);

    // One line per expression: the expression, nodes appended, seconds per
    // parse, seconds per plain loop.
    for (int i = first; i < argc; i++) {
        int count, *nodes;
        double t = parse_time(argv[i], &count, &nodes);
        if (t < 0)
            return 1;
        double l = loop_time(nodes, count);
        printf("%s %d %.6f %.6f\n", argv[i], count, t, l);
        free(nodes);
    }
    numlist_reset();
    return 0;
}

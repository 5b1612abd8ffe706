// nodes.cc - the nodes vnsh runs on: node-list expressions of -w (given,
// or read from a file with ^FILE or from standard input with -), minus
// those of -x, each item checked against the cluster before anything
// starts.
#include "vnsh.h"

#include <vorn/numlist.h>
#include <vorn/vorn.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static struct numlist included, excluded;
static int cluster_nodes = -1;

// The node table first: a failure to fetch it is no fault of the
// expression (the parser has said what went wrong).
static void table_ready(void)
{
    if (cluster_nodes >= 0)
        return;
    struct numlist none = {nullptr, 0, 0};
    if (str2numlist(&none, "") < 0)
        exit(1);
    free(none.list);
    cluster_nodes = vorn_numnodes();
    if (cluster_nodes < 0)
        die("vorn_numnodes");
}

// Whether the number at p is written with a leading 0 (octal) but holds
// an 8 or a 9.
static int octal_bad(const char *p)
{
    if (*p == '+' || *p == '-')
        p++;
    if (p[0] != '0' || !isdigit((unsigned char)p[1]))
        return 0;
    for (p++; isdigit((unsigned char)*p); p++)
        if (*p == '8' || *p == '9')
            return 1;
    return 0;
}

static int octal_fail(const char *item)
{
    fprintf(stderr, "%s: node list item '%s': a number with a leading 0 is octal, without 8 or 9\n",
            progname, item);
    return -1;
}

// One item of an expression, as the parser reads it: a word (left to the
// parser), or a node number or range, optionally after "." or "n".
static int item_check(const char *item)
{
    const char *q = item;
    if (*q == '.' || *q == 'n')
        q++;
    if (!isdigit((unsigned char)*q) && *q != '-' && *q != '+')
        return 0;
    if (octal_bad(q))
        return octal_fail(item);
    char *end;
    errno = 0;
    long first = strtol(q, &end, 0), last = first;
    if (errno)
        return 0; // the parser says it is malformed
    if (*end == '-') {
        const char *q2 = end + 1;
        if (octal_bad(q2))
            return octal_fail(item);
        last = strtol(q2, &end, 0);
        if (errno)
            return 0;
        if (end == q2)
            last = cluster_nodes - 1;
    }
    if (*end)
        return 0;
    long beyond = first < -1 || first >= cluster_nodes ? first
                  : last < -1 || last >= cluster_nodes ? last
                                                       : INT32_MIN;
    if (beyond != INT32_MIN) {
        if (cluster_nodes > 0)
            fprintf(stderr, "%s: node list item '%s': no node %ld (the cluster has nodes 0-%d)\n",
                    progname, item, beyond, cluster_nodes - 1);
        else
            fprintf(stderr,
                    "%s: node list item '%s': no node %ld (the cluster has the master alone)\n",
                    progname, item, beyond);
        return -1;
    }
    if (first > last) {
        fprintf(stderr, "%s: node list item '%s': the range runs backwards\n", progname, item);
        return -1;
    }
    return 0;
}

// Checks each item of expr, then adds its nodes to list.
static int expression_add(struct numlist *list, const char *expr)
{
    table_ready();
    char *copy = strdup(expr);
    if (!copy)
        die("out of memory");
    int rc = 0;
    for (char *item = copy; rc == 0;) {
        char *comma = strchr(item, ',');
        if (comma)
            *comma = 0;
        if (!*item) {
            fprintf(stderr, "%s: empty item in node list '%s'\n", progname, expr);
            rc = -1;
        } else {
            rc = item_check(item);
        }
        if (!comma)
            break;
        item = comma + 1;
    }
    free(copy);
    if (rc < 0)
        return -1;
    errno = 0;
    if (str2numlist(list, expr) < 0) {
        if (errno == ENOMEM)
            die("out of memory");
        fprintf(stderr, "%s: malformed node list '%s'\n", progname, expr);
        return -1;
    }
    return 0;
}

// Expressions one a line, "#" beginning a comment, blank lines skipped.
static int lines_add(struct numlist *list, FILE *f, const char *name)
{
    char *line = nullptr;
    size_t cap = 0;
    ssize_t n;
    int rc = 0;
    while (rc == 0 && (n = getline(&line, &cap, f)) >= 0) {
        char *hash = strchr(line, '#');
        if (hash)
            *hash = 0;
        char *p = line;
        while (isspace((unsigned char)*p))
            p++;
        char *e = p + strlen(p);
        while (e > p && isspace((unsigned char)e[-1]))
            *--e = 0;
        if (*p)
            rc = expression_add(list, p);
    }
    if (rc == 0 && ferror(f)) {
        fprintf(stderr, "%s: %s: %s\n", progname, name, strerror(errno));
        exit(1);
    }
    free(line);
    return rc;
}

static int arg_add(struct numlist *list, const char *arg)
{
    if (strcmp(arg, "-") == 0)
        return lines_add(list, stdin, "standard input");
    if (arg[0] != '^')
        return expression_add(list, arg);
    FILE *f = fopen(arg + 1, "re");
    if (!f) {
        fprintf(stderr, "%s: %s: %s\n", progname, arg + 1, strerror(errno));
        exit(1);
    }
    int rc = lines_add(list, f, arg + 1);
    fclose(f);
    return rc;
}

int nodes_add(const char *arg)
{
    return arg_add(&included, arg);
}

int nodes_exclude(const char *arg)
{
    return arg_add(&excluded, arg);
}

// The nodes of -w in their order, those of -x left out.
void nodes_final(int **list, int *n)
{
    std::sort(excluded.list, excluded.list + excluded.num);
    int k = 0;
    for (int i = 0; i < included.num; i++)
        if (!std::binary_search(excluded.list, excluded.list + excluded.num, included.list[i]))
            included.list[k++] = included.list[i];
    free(excluded.list);
    *list = included.list;
    *n = k;
}

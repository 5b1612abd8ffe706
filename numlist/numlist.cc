// numlist.cc - node-list expressions ("master,1-3,allup") turned into node
// numbers appended to a caller's list; the node table is fetched once.
#include <vorn/numlist.h>
#include <vorn/vorn.h>

#include <errno.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#define NUMLIST_EXPORT __attribute__((visibility("default")))

// The capacity of a list starts at this many entries and grows by as many.
#define LIST_STEP 10

// Node table as vorn_nodelist handed it over; nnodes is -1 until fetched.
static int nnodes = -1;
static struct vorn_node_info *inf;
static const char *const states[VORN_NODE_STATES] = VORN_STATE_NAMES;

// Appends one node number; 0, or -1 with errno when memory runs out.
static int listadd(struct numlist *nl, int node)
{
    if (!nl->list) {
        nl->num = 0;
        nl->size = LIST_STEP;
        nl->list = (int *)malloc(LIST_STEP * sizeof(int));
        if (!nl->list) {
            nl->size = 0;
            return -1;
        }
    } else if (nl->num >= nl->size) {
        if (nl->size > INT_MAX - LIST_STEP ||
            (size_t)(nl->size + LIST_STEP) > SIZE_MAX / sizeof(int)) {
            errno = ENOMEM;
            return -1;
        }
        int *grown = (int *)realloc(nl->list, (size_t)(nl->size + LIST_STEP) * sizeof(int));
        if (!grown)
            return -1;
        nl->list = grown;
        nl->size += LIST_STEP;
    }
    nl->list[nl->num++] = node;
    return 0;
}

// Appends, in table order, every node whose state is (negate 0) or is not
// (negate 1) the given one; stops at the first failed append.
static int addallstate(struct numlist *nl, int state, int negate)
{
    for (int i = 0; i < nnodes; i++) {
        if ((inf[i].status == state) != (negate != 0) && listadd(nl, i) < 0)
            return -1;
    }
    return 0;
}

// Appends first..last in increasing order (nothing when first > last).
static int addrange(struct numlist *nl, int first, int last)
{
    if (first > last)
        return 0;
    for (int node = first;; node++) {
        if (listadd(nl, node) < 0)
            return -1;
        if (node == last)
            return 0;
    }
}

// Whether the text at p is word followed by a comma or the end.
static int item_is(const char *p, const char *word)
{
    while (*word) {
        if (*p++ != *word++)
            return 0;
    }
    return *p == ',' || *p == '\0';
}

// Whether the text at p begins with word.
static int begins_with(const char *p, const char *word)
{
    while (*word) {
        if (*p++ != *word++)
            return 0;
    }
    return 1;
}

static size_t word_len(const char *word)
{
    size_t n = 0;
    while (word[n])
        n++;
    return n;
}

// Reads a number as strtol with base 0 does; *end is where it stopped (p
// itself when there are no digits, the number then being 0).  A number
// beyond the range of a node number is refused with ERANGE.
static int number_read(const char *p, const char **end, int *value)
{
    char *stop;
    errno = 0;
    long v = strtol(p, &stop, 0);
    *end = stop;
    if (errno == ERANGE || v < INT_MIN || v > INT_MAX) {
        errno = ERANGE;
        return -1;
    }
    *value = (int)v;
    return 0;
}

// A malformed item: nothing printed, the caller reports it.
static int syntax_error(void)
{
    errno = EINVAL;
    return -1;
}

// Fetches the node table unless it is already here; prints why not.
static int table_fetch(void)
{
    if (nnodes == -1) {
        inf = NULL;
        nnodes = vorn_nodelist(&inf);
        if (nnodes < 0) {
            nnodes = -1;
            inf = NULL;
        }
    }
    if (nnodes == -1) {
        perror("vorn_nodelist");
        return -1;
    }
    return 0;
}

extern "C" NUMLIST_EXPORT int str2numlist(struct numlist *nl, const char *expr)
{
    if (table_fetch() < 0)
        return -1;
    if (!nl || !expr) {
        errno = EINVAL;
        return -1;
    }

    const char *p = expr;
    while (*p) {
        if (item_is(p, "master")) {
            if (listadd(nl, NODE_MASTER) < 0)
                return -1;
            p += 6;
        } else if (item_is(p, "all")) {
            if (addrange(nl, 0, nnodes - 1) < 0)
                return -1;
            p += 3;
        } else if (begins_with(p, "all")) {
            const char *q = p + 3;
            int negate = 0;
            if (begins_with(q, "not")) {
                q += 3;
                negate = 1;
            }
            int state = 0;
            while (state < VORN_NODE_STATES && !item_is(q, states[state]))
                state++;
            if (state == VORN_NODE_STATES)
                return syntax_error();
            if (addallstate(nl, state, negate) < 0)
                return -1;
            p = q + word_len(states[state]);
        } else {
            const char *q = p;
            if (*q == '.' || *q == 'n')
                q++;
            int first, last;
            const char *end;
            if (number_read(q, &end, &first) < 0)
                return -1;
            last = first;
            if (*end == '-') {
                q = end + 1;
                if (number_read(q, &end, &last) < 0)
                    return -1;
                if (end == q)
                    last = nnodes - 1;
                if (*end != ',' && *end != '\0')
                    return syntax_error();
            } else if (*end != ',' && *end != '\0') {
                return syntax_error();
            }
            if (addrange(nl, first, last) < 0)
                return -1;
            p = end;
        }
        if (*p == ',')
            p++;
    }
    return 0;
}

extern "C" NUMLIST_EXPORT void numlist_reset(void)
{
    if (nnodes != -1) {
        free(inf);
        inf = NULL;
        nnodes = -1;
    }
}

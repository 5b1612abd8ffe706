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

// The largest capacity a list may reach: its size is an int, its bytes a
// size_t.
static int64_t list_limit(void)
{
    int64_t limit = INT_MAX;
    if ((uint64_t)limit > SIZE_MAX / sizeof(int))
        limit = (int64_t)(SIZE_MAX / sizeof(int));
    return limit;
}

// Makes room for up to want more entries with one reallocation, growing the
// capacity by whole steps of LIST_STEP: the size ends where growing one step
// at a time would have put it.  When memory does not allow the whole run,
// smaller steps are tried, down to a single one, so that a run cut short by
// exhausted memory gets as far as one-at-a-time growth would have.  Returns
// the number of free entries (at least 1), or -1 with errno when not even
// one more entry fits.
static int64_t list_room(struct numlist *nl, int64_t want)
{
    if (!nl->list) {
        nl->num = 0;
        nl->size = 0;
    }
    int64_t num = nl->num, size = nl->size;
    if (size - num >= want)
        return size - num;
    int64_t grow = (num + want - size + LIST_STEP - 1) / LIST_STEP * LIST_STEP;
    int64_t most = (list_limit() - size) / LIST_STEP * LIST_STEP;
    if (grow > most)
        grow = most;
    while (grow >= LIST_STEP) {
        int *grown = (int *)realloc(nl->list, (size_t)(size + grow) * sizeof(int));
        if (grown) {
            nl->list = grown;
            nl->size = (int)(size + grow);
            return nl->size - num;
        }
        if (grow == LIST_STEP)
            break;
        grow = grow / 2 / LIST_STEP * LIST_STEP;
    }
    if (size > num)
        return size - num;
    errno = ENOMEM;
    return -1;
}

// Appends one node number; 0, or -1 with errno when memory runs out.
static int listadd(struct numlist *nl, int node)
{
    if (list_room(nl, 1) < 0)
        return -1;
    nl->list[nl->num++] = node;
    return 0;
}

// Appends, in table order, every node whose state is (negate 0) or is not
// (negate 1) the given one.  Room for the rest of the table is made at
// once and what the matches left unused is given back, so the size ends
// where growing one step at a time would have put it.  When memory runs
// out the list keeps the nodes that fitted.
static int addallstate(struct numlist *nl, int state, int negate)
{
    int had_list = nl->list != NULL;
    int64_t start = had_list ? nl->size : 0;
    int rc = 0, i = 0;
    while (i < nnodes) {
        int64_t room = list_room(nl, nnodes - i);
        if (room < 0) {
            rc = -1;
            break;
        }
        int *out = nl->list + nl->num;
        int put = 0;
        for (; put < room && i < nnodes; i++) {
            if ((inf[i].status == state) != (negate != 0))
                out[put++] = i;
        }
        nl->num += put;
    }
    if (!had_list && nl->list && nl->num == 0) {
        // Nothing matched: the list stays as it was, without an array.
        free(nl->list);
        nl->list = NULL;
        nl->size = 0;
    } else if (nl->list && nl->size > start) {
        int64_t used = nl->num > start ? nl->num - start : 0;
        int64_t size = start + (used + LIST_STEP - 1) / LIST_STEP * LIST_STEP;
        if (size < nl->size) {
            // Giving memory back cannot fail in a way that matters: the
            // block keeps its room when it does.
            int saved = errno;
            int *smaller = size > 0 ? (int *)realloc(nl->list, (size_t)size * sizeof(int)) : NULL;
            if (smaller)
                nl->list = smaller;
            nl->size = (int)size;
            errno = saved;
        }
    }
    return rc;
}

// Appends first..last in increasing order (nothing when first > last); the
// room for the whole run is made first.  When memory runs out the list keeps
// the nodes that fitted.
static int addrange(struct numlist *nl, int first, int last)
{
    int64_t next = first;
    while (next <= last) {
        int64_t want = (int64_t)last - next + 1;
        int64_t room = list_room(nl, want);
        if (room < 0)
            return -1;
        int64_t n = room < want ? room : want;
        int *out = nl->list + nl->num, node = (int)next;
        for (int k = 0; k < (int)n; k++)
            out[k] = node + k;
        nl->num += (int)n;
        next += n;
    }
    return 0;
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

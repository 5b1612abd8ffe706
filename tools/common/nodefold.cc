// nodefold.cc - node sets folded into node-list text ("master,0-3,7").
#include "nodefold.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static int int_cmp(const void *a, const void *b)
{
    int x = *static_cast<const int *>(a), y = *static_cast<const int *>(b);
    return (x > y) - (x < y);
}

// Appends text to buf at *len as snprintf would, counting what does not fit.
static void put(char *buf, size_t size, size_t *len, const char *fmt, int a, int b)
{
    size_t room = *len < size ? size - *len : 0;
    int k = snprintf(room ? buf + *len : nullptr, room, fmt, a, b);
    if (k > 0)
        *len += static_cast<size_t>(k);
}

int nodes_fold(const int *nodes, size_t n, char *buf, size_t size)
{
    int *sorted = static_cast<int *>(malloc((n ? n : 1) * sizeof(int)));
    if (!sorted)
        return -1;
    // The master goes first, by name; the other numbers sorted, once each.
    size_t m = 0;
    bool master = false;
    for (size_t i = 0; i < n; i++) {
        if (nodes[i] == -1)
            master = true;
        else
            sorted[m++] = nodes[i];
    }
    qsort(sorted, m, sizeof(int), int_cmp);

    size_t len = 0;
    if (size)
        buf[0] = '\0';
    if (master)
        put(buf, size, &len, "master", 0, 0);
    for (size_t i = 0; i < m;) {
        size_t j = i;
        while (j + 1 < m && (sorted[j + 1] == sorted[j] || sorted[j + 1] == sorted[j] + 1))
            j++;
        if (len)
            put(buf, size, &len, ",", 0, 0);
        if (sorted[i] == sorted[j])
            put(buf, size, &len, "%d", sorted[i], 0);
        else
            put(buf, size, &len, "%d-%d", sorted[i], sorted[j]);
        i = j + 1;
    }
    free(sorted);
    if (len > static_cast<size_t>(2147483647)) {
        errno = EOVERFLOW;
        return -1;
    }
    return static_cast<int>(len);
}

char *nodes_fold_alloc(const int *nodes, size_t n)
{
    int len = nodes_fold(nodes, n, nullptr, 0);
    if (len < 0)
        return nullptr;
    char *buf = static_cast<char *>(malloc(static_cast<size_t>(len) + 1));
    if (!buf)
        return nullptr;
    // The second pass needs memory too: a failure there is a failure, not
    // an unwritten text handed back.
    if (nodes_fold(nodes, n, buf, static_cast<size_t>(len) + 1) < 0) {
        int err = errno;
        free(buf);
        errno = err;
        return nullptr;
    }
    return buf;
}

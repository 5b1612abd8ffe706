// gather.cc - -b: each stream's output compared with the others' as it
// arrives, so that identical outputs are held once, and printed at the end
// under the folded set of nodes that gave it.
//
// A group holds a text that the streams in it have given so far, each up
// to its own offset.  A stream that gives a byte other than the group's
// next leaves for the group that split off there with that byte, made
// with a copy of the text before it when there is none yet.  Streams with
// the same output end in the same group at the same offset.
#include "vnsh.h"

#include "nodefold.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

struct gather_group {
    struct buf text;
    size_t split;                     // where it left its parent
    std::vector<gather_group *> kids; // groups that split off from it
};

static std::vector<gather_group *> groups;
static gather_group *roots[2];

static gather_group *group_new(const char *prefix, size_t len)
{
    gather_group *g = new gather_group();
    g->text = {nullptr, 0, 0};
    buf_add(&g->text, prefix, len);
    g->split = len;
    groups.push_back(g);
    return g;
}

void gather_feed(struct run *r, int s, const char *p, size_t n)
{
    struct gather_pos *at = &r->out[s].gather;
    if (!at->group) {
        if (!roots[s])
            roots[s] = group_new(nullptr, 0);
        at->group = roots[s];
    }
    while (n > 0) {
        gather_group *g = at->group;
        if (at->off == g->text.len) {
            buf_add(&g->text, p, n);
            at->off += n;
            return;
        }
        size_t m = std::min(n, g->text.len - at->off);
        const char *t = g->text.p + at->off;
        size_t k = 0;
        while (k < m && t[k] == p[k])
            k++;
        at->off += k;
        p += k;
        n -= k;
        if (k == m)
            continue;
        gather_group *next = nullptr;
        for (gather_group *kid : g->kids)
            if (kid->split == at->off && kid->text.p[at->off] == *p)
                next = kid;
        if (!next) {
            next = group_new(g->text.p, at->off);
            g->kids.push_back(next);
        }
        at->group = next;
    }
}

// One distinct output: its group and length, and the nodes that gave it.
struct gather_out {
    gather_group *group;
    size_t len;
    std::vector<int> nodes; // in order: the lowest first
};

void gather_print(int s)
{
    std::vector<const struct run *> order;
    for (int i = 0; i < nruns; i++)
        if (runs[i].out[s].gather.off > 0)
            order.push_back(&runs[i]);
    std::sort(order.begin(), order.end(), [s](const struct run *a, const struct run *b) {
        const struct gather_pos &x = a->out[s].gather, &y = b->out[s].gather;
        if (x.group != y.group)
            return std::less<gather_group *>()(x.group, y.group);
        if (x.off != y.off)
            return x.off < y.off;
        return a->node < b->node;
    });
    std::vector<gather_out> outs;
    for (const struct run *r : order) {
        const struct gather_pos &at = r->out[s].gather;
        if (outs.empty() || outs.back().group != at.group || outs.back().len != at.off)
            outs.push_back({at.group, at.off, {}});
        outs.back().nodes.push_back(r->node);
    }
    std::stable_sort(outs.begin(), outs.end(), [](const gather_out &a, const gather_out &b) {
        return a.nodes[0] < b.nodes[0];
    });
    static const char rule[] = "----------------\n";
    struct buf head = {nullptr, 0, 0};
    for (const gather_out &o : outs) {
        char *names = nodes_fold_alloc(o.nodes.data(), o.nodes.size());
        if (!names)
            die("out of memory");
        head.len = 0;
        buf_add(&head, rule, sizeof rule - 1);
        buf_add(&head, names, strlen(names));
        buf_add(&head, "\n", 1);
        buf_add(&head, rule, sizeof rule - 1);
        free(names);
        output_write(s, head.p, head.len);
        output_write(s, o.group->text.p, o.len);
        if (o.group->text.p[o.len - 1] != '\n')
            output_write(s, "\n", 1);
    }
    buf_free(&head);
    if (s == 1) {
        for (gather_group *g : groups) {
            buf_free(&g->text);
            delete g;
        }
        groups.clear();
    }
}

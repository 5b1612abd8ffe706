// nodefold_test.cc - the folded form of node sets: fixed cases, and random
// sets that str2numlist reads back on an emulated cluster.
#include "nodefold.h"
#include "testutil.h"

#include <vorn/numlist.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace
{

std::string fold(const std::vector<int> &nodes)
{
    char *text = nodes_fold_alloc(nodes.data(), nodes.size());
    if (!text) {
        ADD_FAILURE() << "nodes_fold_alloc failed";
        return "";
    }
    std::string s = text;
    free(text);
    return s;
}

TEST(NodeFold, Cases)
{
    const struct {
        const char *name;
        std::vector<int> nodes;
        std::string text;
    } cases[] = {
        {"empty set", {}, ""},
        {"single node", {5}, "5"},
        {"node 0", {0}, "0"},
        {"two apart", {1, 3}, "1,3"},
        {"run of two", {3, 4}, "3-4"},
        {"runs and singles", {0, 1, 2, 3, 7}, "0-3,7"},
        {"master alone", {-1}, "master"},
        {"master first", {4, -1, 0}, "master,0,4"},
        {"duplicates", {2, 2, 3, 3, 3, 5, 5, -1, -1}, "master,2-3,5"},
        {"unsorted", {7, 1, 6, 0, 5, 2}, "0-2,5-7"},
        {"a duplicate inside a run", {1, 2, 2, 3}, "1-3"},
        {"other negative numbers", {-3, -2, 0}, "-3--2,0"},
        {"the largest numbers", {2147483647, 2147483646, 0}, "0,2147483646-2147483647"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(fold(c.nodes), c.text);
        EXPECT_EQ(nodes_fold(c.nodes.data(), c.nodes.size(), nullptr, 0),
                  static_cast<int>(c.text.size()));
    }
}

// A buffer that is too small gets the cut text, terminated, and the
// length of the whole.
TEST(NodeFold, CutLikeSnprintf)
{
    const int nodes[] = {7, 0, 1, 2, 3};
    char buf[5];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(nodes_fold(nodes, 5, buf, sizeof buf), 5);
    EXPECT_STREQ(buf, "0-3,");
    EXPECT_EQ(nodes_fold(nodes, 5, buf, 1), 5);
    EXPECT_STREQ(buf, "");
}

// Random sets (runs, gaps, duplicates, the master) folded and read back
// by the node-list parser give the same set.
TEST(NodeFold, RoundTripThroughStr2numlist)
{
    const int nnodes = 1000;
    tu_cluster c = tu_cluster_make(nnodes);
    std::mt19937 rng(13);
    for (int round = 0; round < 300; round++) {
        std::vector<int> nodes;
        int items = static_cast<int>(rng() % 40);
        for (int i = 0; i < items; i++) {
            int first = static_cast<int>(rng() % (nnodes + 1)) - 1;
            int len = rng() % 3 ? 1 : static_cast<int>(rng() % 20);
            for (int k = 0; k < len && first + k < nnodes; k++)
                nodes.push_back(first + k);
        }
        std::shuffle(nodes.begin(), nodes.end(), rng);
        std::string text = fold(nodes);
        SCOPED_TRACE("round " + std::to_string(round) + ": " + text);

        struct numlist back = {};
        ASSERT_EQ(str2numlist(&back, text.c_str()), 0);
        std::vector<int> got(back.list, back.list + back.num);
        free(back.list);
        std::sort(nodes.begin(), nodes.end());
        nodes.erase(std::unique(nodes.begin(), nodes.end()), nodes.end());
        // The folded text names each node once, in increasing order (the
        // master first).
        EXPECT_EQ(got, nodes);
    }
    numlist_reset();
    tu_cluster_drop(c);
}

} // namespace

// numlist_test.cc - node-list expressions parsed against an emulated
// cluster: the expression table, the cached node table, faults, growth.
#include <vorn/numlist.h>
#include <vorn/vorn.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "testutil.h"

namespace
{

std::vector<int> nodes_of(const numlist &nl)
{
    return std::vector<int>(nl.list, nl.list + nl.num);
}

// Parses expr into a fresh list; the nodes it got and the result.
struct parsed {
    int rc;
    std::vector<int> nodes;
};

parsed parse(const char *expr)
{
    numlist nl{};
    parsed p;
    p.rc = str2numlist(&nl, expr);
    p.nodes = nodes_of(nl);
    free(nl.list);
    return p;
}

std::vector<int> span(int first, int last)
{
    std::vector<int> v;
    for (int i = first; i <= last; i++)
        v.push_back(i);
    return v;
}

std::vector<int> cat(std::vector<int> a, const std::vector<int> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

void set_state(int node, int state)
{
    ASSERT_EQ(vorn_nodesetstatus(node, state), 0) << "node " << node << ": " << strerror(errno);
}

// A cluster of 8 nodes, 2 and 5 "down", the others "up".
struct Numlist : ::testing::Test {
    tu_cluster cluster;
    void SetUp() override
    {
        numlist_reset();
        cluster = tu_cluster_make(8);
        set_state(2, VORN_NODE_DOWN);
        set_state(5, VORN_NODE_DOWN);
    }
    void TearDown() override
    {
        numlist_reset();
        tu_cluster_drop(cluster);
    }
};

struct row {
    const char *expr;
    std::vector<int> nodes;
    int rc;
};

const std::vector<int> up = {0, 1, 3, 4, 6, 7};

const row expressions[] = {
    {"", {}, 0},
    {"master", {-1}, 0},
    {"master,3", {-1, 3}, 0},
    {"master,", {-1}, 0},
    {"masters", {}, -1},
    {"all", span(0, 7), 0},
    {"all,", span(0, 7), 0},
    {"alldown", {2, 5}, 0},
    {"allnotdown", up, 0},
    {"allup,master", cat(up, {-1}), 0},
    {"allnotup", {2, 5}, 0},
    {"allboot", {}, 0},
    {"allnotboot", span(0, 7), 0},
    {"allerror,allunavailable", {}, 0},
    {"allbogus", {}, -1},
    {"allnot", {}, -1},
    {"allup2", {}, -1},
    {"allnotupx", {}, -1},
    {"all down", {}, -1},
    {"3", {3}, 0},
    {"n3", {3}, 0},
    {".3", {3}, 0},
    {"0x10", {16}, 0},
    {"0X1f", {31}, 0},
    {"010", {8}, 0},
    {"08", {}, -1},
    {"0x", {}, -1},
    {"+3", {3}, 0},
    {"1-3", {1, 2, 3}, 0},
    {"n1-3", {1, 2, 3}, 0},
    {".1-0x3", {1, 2, 3}, 0},
    {"n1-n3", {}, -1},
    {"5-3", {}, 0},
    {"5-3,4", {4}, 0},
    {"6-", {6, 7}, 0},
    {"6-,1", {6, 7, 1}, 0},
    {"8-", {}, 0},
    {"-", span(0, 7), 0},
    {"--", {}, -1},
    {"-1", {-1}, 0},
    {"-1-1", {-1, 0, 1}, 0},
    {"-3--1", {-3, -2, -1}, 0},
    {"1,1", {1, 1}, 0},
    {"all,0", cat(span(0, 7), {0}), 0},
    {"1,,2", {1, 0, 2}, 0},
    {",", {0}, 0},
    {"n", {0}, 0},
    {".", {0}, 0},
    {"n,.", {0, 0}, 0},
    {" 3", {3}, 0},
    {"1- 3", {1, 2, 3}, 0},
    {"3 ", {}, -1},
    {"1,2,x", {1, 2}, -1},
    {"1-3x", {}, -1},
    {"1-3,4x,5", {1, 2, 3}, -1},
    {"nn3", {}, -1},
    {"100", {100}, 0},
    {"1;2", {}, -1},
    // Node numbers beyond an int are refused rather than wrapped.
    {"2147483646-", {}, 0},
    {"2147483645-2147483647", {2147483645, 2147483646, 2147483647}, 0},
    {"-2147483648", {-2147483647 - 1}, 0},
    {"2147483648", {}, -1},
    {"4294967297", {}, -1},
    {"1-4294967296", {}, -1},
    {"-2147483649-0", {}, -1},
    {"99999999999999999999999", {}, -1},
};

TEST_F(Numlist, Expressions)
{
    for (const row &r : expressions) {
        parsed p = parse(r.expr);
        EXPECT_EQ(p.rc, r.rc) << "expression \"" << r.expr << "\"";
        EXPECT_EQ(p.nodes, r.nodes) << "expression \"" << r.expr << "\"";
    }
}

// Calls append to what the list already holds, also when one fails.
TEST_F(Numlist, AppendsToTheCallersList)
{
    numlist nl{};
    ASSERT_EQ(str2numlist(&nl, "7"), 0);
    ASSERT_EQ(str2numlist(&nl, "alldown,master"), 0);
    EXPECT_EQ(str2numlist(&nl, "1,2,allnope,3"), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(nodes_of(nl), std::vector<int>({7, 2, 5, -1, 1, 2}));
    EXPECT_EQ(str2numlist(&nl, "4"), 0);
    EXPECT_EQ(nodes_of(nl), std::vector<int>({7, 2, 5, -1, 1, 2, 4}));
    free(nl.list);
}

// The table is fetched once and kept, states and node count alike, until
// numlist_reset drops it.
TEST_F(Numlist, NodeTableKeptUntilReset)
{
    EXPECT_EQ(parse("alldown").nodes, std::vector<int>({2, 5}));
    set_state(3, VORN_NODE_DOWN);
    set_state(5, VORN_NODE_UP);
    EXPECT_EQ(parse("alldown").nodes, std::vector<int>({2, 5}));

    // The library is not asked again: a fault on every call goes unseen.
    ASSERT_EQ(tu_vornemu({"fail", "vorn_nodelist", "any", "EIO"}).status, 0);
    EXPECT_EQ(parse("allnotdown").nodes, up);
    ASSERT_EQ(tu_vornemu({"heal"}).status, 0);

    numlist_reset();
    numlist_reset(); // a second reset does nothing
    EXPECT_EQ(parse("alldown").nodes, std::vector<int>({2, 3}));

    // A cluster of another size: "all" and open ranges follow on reset.
    ASSERT_EQ(tu_vornemu({"init", "--force", "--nodes", "3", "--boot-delay", "0"}).status, 0);
    EXPECT_EQ(parse("all,6-").nodes, cat(span(0, 7), {6, 7}));
    numlist_reset();
    EXPECT_EQ(parse("all,1-").nodes, std::vector<int>({0, 1, 2, 1, 2}));
}

// A failed fetch prints the library's error behind "vorn_nodelist", fails
// every expression, leaves the list alone, and is retried on the next call.
TEST_F(Numlist, FailedFetchIsReportedAndRetried)
{
    struct fault {
        const char *err;
        int no;
        const char *expr;
    } faults[] = {{"EIO", EIO, "master"}, {"EACCES", EACCES, ""}, {"ENOMEM", ENOMEM, "3"}};
    for (const fault &f : faults) {
        SCOPED_TRACE(f.err);
        numlist_reset();
        ASSERT_EQ(tu_vornemu({"fail", "vorn_nodelist", "any", f.err, "1"}).status, 0);
        numlist nl{};
        ::testing::internal::CaptureStderr();
        int rc = str2numlist(&nl, f.expr);
        std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(err, std::string("vorn_nodelist: ") + strerror(f.no) + "\n");
        EXPECT_EQ(nl.list, nullptr);
        EXPECT_EQ(nl.num, 0);

        ::testing::internal::CaptureStderr();
        rc = str2numlist(&nl, "master,alldown");
        err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(err, "");
        EXPECT_EQ(nodes_of(nl), std::vector<int>({-1, 2, 5}));
        free(nl.list);
    }
}

// Syntax errors print nothing.
TEST_F(Numlist, SyntaxErrorsAreSilent)
{
    for (const char *expr : {"masters", "allbogus", "3 ", "1-3x", "n1-n3"}) {
        ::testing::internal::CaptureStderr();
        parsed p = parse(expr);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << expr;
        EXPECT_EQ(p.rc, -1) << expr;
    }
}

// The capacity starts at 10 entries and grows 10 at a time.
TEST_F(Numlist, CapacityGrowsByTen)
{
    struct step {
        const char *expr;
        int num, size;
    } steps[] = {{"0", 1, 10},
                 {"1-9", 10, 10},
                 {"10", 11, 20},
                 {"11-19", 20, 20},
                 {"all", 28, 30},
                 {"1,2", 30, 30},
                 {"master", 31, 40},
                 {"", 31, 40},
                 {"0-28", 60, 60},
                 {"alldown", 62, 70},
                 {"allnotdown", 68, 70},
                 {"allup", 74, 80},
                 {"allboot", 74, 80},
                 {"0-99999", 100074, 100080},
                 {"1-6", 100080, 100080},
                 {"7", 100081, 100090}};
    numlist nl{};
    std::vector<int> want;
    for (const step &s : steps) {
        parsed one = parse(s.expr);
        want.insert(want.end(), one.nodes.begin(), one.nodes.end());
        ASSERT_EQ(str2numlist(&nl, s.expr), 0) << s.expr;
        EXPECT_EQ(nl.num, s.num) << s.expr;
        EXPECT_EQ(nl.size, s.size) << s.expr;
    }
    EXPECT_EQ(nodes_of(nl), want);
    EXPECT_EQ(parse("0-99999").nodes, span(0, 99999));
    free(nl.list);

    // A caller's list of another capacity grows by ten from there; a run that
    // adds nothing leaves an empty list without an array.
    numlist odd{(int *)malloc(7 * sizeof(int)), 7, 7};
    ASSERT_EQ(str2numlist(&odd, "0-20,allnotdown"), 0);
    EXPECT_EQ(odd.num, 34);
    EXPECT_EQ(odd.size, 37);
    free(odd.list);
    numlist none{};
    ASSERT_EQ(str2numlist(&none, "allboot,5-3"), 0);
    EXPECT_EQ(none.list, nullptr);
    EXPECT_EQ(none.size, 0);
}

// A list that runs out of memory keeps what it got, in order, and stays a
// valid list.
TEST_F(Numlist, OutOfMemoryKeepsWhatWasAdded)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "an address-space limit does not mix with AddressSanitizer";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    GTEST_SKIP() << "an address-space limit does not mix with AddressSanitizer";
#endif
#endif
    ASSERT_EQ(parse("master").rc, 0); // table fetched before the limit
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        long pages = 0;
        FILE *f = fopen("/proc/self/statm", "r");
        if (!f || fscanf(f, "%ld", &pages) != 1)
            _exit(10);
        fclose(f);
        rlim_t limit = (rlim_t)pages * sysconf(_SC_PAGESIZE) + (4 << 20);
        struct rlimit rl = {limit, limit};
        if (setrlimit(RLIMIT_AS, &rl))
            _exit(11);
        numlist nl{};
        if (str2numlist(&nl, "5,0-2000000000") != -1 || errno != ENOMEM)
            _exit(12);
        if (nl.num < 1000 || nl.num > nl.size || nl.size % 10 != 0 || nl.list[0] != 5)
            _exit(13);
        for (int i = 1; i < nl.num; i++)
            if (nl.list[i] != i - 1)
                _exit(14);
        _exit(0);
    }
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
}

// With no nodes, "all", open ranges and state filters add nothing.
TEST(NumlistEmpty, NoNodes)
{
    numlist_reset();
    tu_cluster cluster = tu_cluster_make(0);
    const row rows[] = {
        {"", {}, 0},
        {"all", {}, 0},
        {"all,", {}, 0},
        {"-", {}, 0},
        {"0-", {}, 0},
        {"alldown,allnotup", {}, 0},
        {"master,5", {-1, 5}, 0},
        {"-1-", {-1}, 0},
        {"allbogus", {}, -1},
    };
    for (const row &r : rows) {
        parsed p = parse(r.expr);
        EXPECT_EQ(p.rc, r.rc) << r.expr;
        EXPECT_EQ(p.nodes, r.nodes) << r.expr;
    }
    numlist_reset();
    tu_cluster_drop(cluster);
}

} // namespace

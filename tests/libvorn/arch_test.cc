// arch_test.cc - i386 and x86-64 processes share one emulated cluster:
// changes, faults, journal and placements made by one are seen by the other.
#include <vorn/vorn.h>

#include "testutil.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

struct ArchTest : ::testing::TestWithParam<const char *> {
    tu_cluster c;
    void SetUp() override
    {
        if (!*GetParam())
            GTEST_SKIP() << "no probe for the other architecture";
        c = tu_cluster_make(8);
    }
    void TearDown() override
    {
        tu_cluster_drop(c);
    }
    tu_result probe(const std::vector<std::string> &args)
    {
        std::vector<std::string> argv{GetParam()};
        argv.insert(argv.end(), args.begin(), args.end());
        return tu_run(argv);
    }
};

#ifdef VORN_PROBE32
const char *const probes[] = {VORN_PROBE, VORN_PROBE32};
#else
const char *const probes[] = {VORN_PROBE, ""};
#endif

} // namespace

TEST_P(ArchTest, ProbeSharesTheCluster)
{
    tu_result r = probe({"arch"});
    ASSERT_EQ(r.status, 0) << r.out;
    ASSERT_EQ(vorn_chown(4, 1234), 0);
    ASSERT_EQ(vorn_nodesetstatus(4, VORN_NODE_ERROR), 0);
    r = probe({"info", "4"});
    EXPECT_EQ(r.out, "4 2 111 1234 0 127.1.0.5\n");
    r = probe({"chmod", "3", "750"});
    ASSERT_EQ(r.status, 0) << r.out;
    struct vorn_node_info info;
    ASSERT_EQ(vorn_nodeinfo(3, &info), 0);
    EXPECT_EQ(info.mode, 0750u);
    ASSERT_EQ(tu_vornemu({"fail", "vorn_chmod", "3", "EIO", "1"}).status, 0);
    r = probe({"chmod", "3", "700"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "vorn_chmod: Input/output error\n");
    auto rows = tu_journal();
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[2][2] + " " + rows[2][4] + " " + rows[2][5], "vorn_chmod 488 0");
    EXPECT_EQ(rows[3][2] + " " + rows[3][4] + " " + rows[3][5], "vorn_chmod 448 EIO");
}

TEST_P(ArchTest, ProbePlacementIsSeenHere)
{
    int in[2], out[2];
    ASSERT_EQ(pipe(in), 0);
    ASSERT_EQ(pipe(out), 0);
    std::vector<std::string> cmd = tu_command({GetParam(), "place", "5"});
    std::vector<char *> argv;
    for (std::string &a : cmd)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        close(in[1]);
        close(out[0]);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    char buf[64] = {0};
    ASSERT_GT(read(out[0], buf, sizeof buf - 1), 0);
    EXPECT_EQ(std::string(buf), std::to_string(pid) + " 5\n");
    EXPECT_EQ(vorn_pidnode(pid), 5);
    struct vorn_proc_info *list = nullptr;
    ASSERT_EQ(vorn_proclist(5, &list), 1);
    EXPECT_EQ(list[0].pid, pid);
    free(list);
    close(in[1]);
    close(out[0]);
    int st;
    waitpid(pid, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
}

INSTANTIATE_TEST_SUITE_P(Probes, ArchTest, ::testing::ValuesIn(probes),
                         [](const ::testing::TestParamInfo<const char *> &i) {
                             return std::string(i.index == 0 ? "Native" : "OtherArch");
                         });

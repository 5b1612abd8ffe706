// nodes_test.cc - the emulated cluster's node queries, node control,
// permissions, errors, faults, journal and library list.
#include <vorn/vorn.h>

#include "testutil.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <grp.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

struct ClusterTest : ::testing::Test {
    tu_cluster c;
    void SetUp() override
    {
        c = tu_cluster_make(8);
    }
    void TearDown() override
    {
        tu_cluster_drop(c);
    }
};

double now_s()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

std::vector<std::string> last_row()
{
    auto rows = tu_journal();
    return rows.empty() ? std::vector<std::string>{} : rows.back();
}

} // namespace

TEST_F(ClusterTest, FreshClusterHasUpNodesOwnedByRoot)
{
    EXPECT_EQ(vorn_numnodes(), 8);
    struct vorn_node_info *list = nullptr;
    ASSERT_EQ(vorn_nodelist(&list), 8);
    for (int i = 0; i < 8; i++) {
        EXPECT_EQ(list[i].node, i);
        EXPECT_EQ(list[i].status, VORN_NODE_UP);
        EXPECT_EQ(list[i].mode, 0111u);
        EXPECT_EQ(list[i].user, 0u);
        EXPECT_EQ(list[i].group, 0u);
        EXPECT_EQ(ntohl(list[i].addr), 0x7f010000u + i + 1);
    }
    free(list);
    struct vorn_node_info info;
    ASSERT_EQ(vorn_nodeinfo(-1, &info), 0);
    EXPECT_EQ(info.node, -1);
    EXPECT_EQ(info.status, VORN_NODE_UP);
    EXPECT_EQ(vorn_nodestatus(-1), VORN_NODE_UP);
    EXPECT_EQ(vorn_currnode(), -1);
    EXPECT_EQ(vorn_pidnode(getpid()), -1);
}

TEST_F(ClusterTest, MissingClusterIsCreatedOnFirstUse)
{
    std::string fresh = c.dir + "/other";
    setenv("VORN_CLUSTER", fresh.c_str(), 1);
    EXPECT_EQ(vorn_numnodes(), 8);
    EXPECT_EQ(vorn_nodestatus(7), VORN_NODE_UP);
    EXPECT_EQ(vorn_nodestatus(8), -1);
    EXPECT_EQ(errno, EINVAL);
    // Switching back finds the first cluster again.
    setenv("VORN_CLUSTER", c.path.c_str(), 1);
    ASSERT_EQ(vorn_chmod(3, 0700), 0);
    setenv("VORN_CLUSTER", fresh.c_str(), 1);
    struct vorn_node_info info;
    ASSERT_EQ(vorn_nodeinfo(3, &info), 0);
    EXPECT_EQ(info.mode, 0111u);
}

TEST_F(ClusterTest, AddressesRoundTrip)
{
    struct sockaddr_in a;
    int len = sizeof a;
    ASSERT_EQ(vorn_masteraddr(&a, &len), 0);
    EXPECT_EQ(len, (int)sizeof a);
    EXPECT_EQ(a.sin_family, AF_INET);
    EXPECT_STREQ(inet_ntoa(a.sin_addr), "127.0.0.1");
    EXPECT_EQ(vorn_nodenumber(&a, sizeof a), -1);
    for (int node : {0, 5, 7}) {
        len = sizeof a;
        ASSERT_EQ(vorn_nodeaddr(node, &a, &len), 0);
        EXPECT_EQ(vorn_nodenumber(&a, sizeof a), node);
    }
    len = sizeof a;
    ASSERT_EQ(vorn_nodeaddr(5, &a, &len), 0);
    EXPECT_STREQ(inet_ntoa(a.sin_addr), "127.1.0.6");
    a.sin_addr.s_addr = inet_addr("127.1.0.9"); // node 8: outside
    EXPECT_EQ(vorn_nodenumber(&a, sizeof a), -3);
    a.sin_addr.s_addr = inet_addr("10.0.0.5");
    EXPECT_EQ(vorn_nodenumber(&a, sizeof a), -3);
    len = 4;
    EXPECT_EQ(vorn_masteraddr(&a, &len), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(ClusterTest, NodeNames)
{
    const struct {
        const char *name;
        int node;
    } cases[] = {
        {"master", -1}, {"0", 0},       {"7", 7},      {".3", 3},
        {"n5", 5},      {"8", -3},      {"n8", -3},    {"", -3},
        {"-1", -3},     {"Master", -3}, {"n", -3},     {".", -3},
        {"3x", -3},     {" 3", -3},     {"node3", -3}, {"99999999999999999999", -3},
    };
    for (const auto &t : cases)
        EXPECT_EQ(vorn_getnodebyname(t.name), t.node) << t.name;
    EXPECT_EQ(vorn_getnodebyname(nullptr), -3);
}

// Each failing call with its errno, in the order the checks are made.
TEST_F(ClusterTest, ErrorsOfNodeControl)
{
    ASSERT_EQ(vorn_nodesetstatus(6, VORN_NODE_DOWN), 0);
    struct {
        const char *what;
        int (*call)();
        int err;
    } one[] = {
        {"status of node 8", [] { return vorn_nodestatus(8); }, EINVAL},
        {"reboot of the master", [] { return vorn_nodereboot(-1); }, EOPNOTSUPP},
        {"bad state", [] { return vorn_nodesetstatus(1, 5); }, EINVAL},
        {"bad policy", [] { return vorn_nodepolicy(1, "explode"); }, EINVAL},
        {"negative r2c", [] { return vorn_set_r2c(1, -5); }, EINVAL},
        {"reboot of a down node", [] { return vorn_nodereboot(6); }, EHOSTDOWN},
        {"reconnect of a down node",
         [] {
             struct sockaddr_in a {
             };
             a.sin_family = AF_INET;
             return vorn_nodereconnect(6, &a, sizeof a, &a, sizeof a);
         },
         EHOSTDOWN},
        {"status of node -2", [] { return vorn_nodestatus(-2); }, EINVAL},
        {"chmod of node 8", [] { return vorn_chmod(8, 0755); }, EINVAL},
        {"chmod of the master", [] { return vorn_chmod(-1, 0755); }, EOPNOTSUPP},
        {"reconnect of the master without addresses",
         [] { return vorn_nodereconnect(-1, nullptr, 0, nullptr, 0); }, EOPNOTSUPP},
        {"reconnect without addresses",
         [] { return vorn_nodereconnect(1, nullptr, 0, nullptr, 0); }, EINVAL},
        {"negative state", [] { return vorn_nodesetstatus(1, -1); }, EINVAL},
        {"null policy", [] { return vorn_nodepolicy(1, nullptr); }, EINVAL},
        {"empty chroot", [] { return vorn_nodechroot(1, ""); }, EINVAL},
        {"halt of a down node", [] { return vorn_nodehalt_async(6); }, EHOSTDOWN},
        {"chroot of a down node", [] { return vorn_nodechroot(6, "/tmp"); }, EHOSTDOWN},
        {"remaster of a down node", [] { return vorn_noderemaster(6); }, EHOSTDOWN},
        {"orphan of a down node", [] { return vorn_nodeorphan(6); }, EHOSTDOWN},
        {"cache purge of a down node", [] { return vorn_nodecachepurgeok(6); }, EHOSTDOWN},
        {"dump", [] { return vorn_dump(1, DUMP_ALL); }, ENOSYS},
        {"undump", [] { return vorn_undump(0); }, ENOSYS},
        {"execdump", [] { return vorn_execdump(0, 7, "/bin/true", nullptr, nullptr); }, ENOSYS},
        {"access with bad mode", [] { return vorn_access(1, 8); }, EINVAL},
        {"pidnode of no process", [] { return vorn_pidnode(0); }, ESRCH},
        {"requestfile of a missing file", [] { return vorn_requestfile("/nonexistent/x"); },
         ENOENT},
    };
    for (const auto &t : one) {
        errno = 0;
        EXPECT_EQ(t.call(), -1) << t.what;
        EXPECT_EQ(errno, t.err) << t.what;
    }
    // A down node is brought back by setting its state.
    EXPECT_EQ(vorn_nodesetstatus(6, VORN_NODE_UP), 0);
    EXPECT_EQ(vorn_nodereboot(6), 0);
}

TEST_F(ClusterTest, ControlCallsChangeTheNode)
{
    ASSERT_EQ(vorn_chmod(2, 0750), 0);
    ASSERT_EQ(vorn_chown(2, 1234), 0);
    ASSERT_EQ(vorn_chgrp(2, -2), 0); // 4294967294 stays as it is
    ASSERT_EQ(vorn_nodesetstatus(3, VORN_NODE_ERROR), 0);
    ASSERT_EQ(vorn_nodepolicy(2, "pwroff"), 0);
    ASSERT_EQ(vorn_set_r2c(2, 2147483647), 0);
    ASSERT_EQ(vorn_nodechroot(2, "/srv/root"), 0);
    ASSERT_EQ(vorn_noderemaster(2), 0);
    ASSERT_EQ(vorn_nodeorphan(2), 0);
    ASSERT_EQ(vorn_nodecachepurgefail(2), 0);
    ASSERT_EQ(vorn_nodecachepurgeok(2), 0);
    struct vorn_node_info info;
    ASSERT_EQ(vorn_nodeinfo(2, &info), 0);
    EXPECT_EQ(info.mode, 0750u);
    EXPECT_EQ(info.user, 1234u);
    EXPECT_EQ(info.group, 4294967294u);
    EXPECT_EQ(vorn_nodestatus(3), VORN_NODE_ERROR);
    EXPECT_EQ(vorn_nodestatus(4), VORN_NODE_UP);
}

TEST_F(ClusterTest, JournalRecordsEveryChange)
{
    ASSERT_EQ(vorn_chmod(1, 0755), 0);
    ASSERT_EQ(vorn_nodereboot_async(2), 0);
    ASSERT_EQ(vorn_nodepolicy(3, "a\tb\\c\nd"), -1);
    ASSERT_EQ(vorn_libadd("libc.so.6"), 0);
    ASSERT_EQ(vorn_chmod(9, 0), -1);
    ASSERT_EQ(vorn_libclear(), 0);
    vorn_numnodes(); // queries leave no line
    auto rows = tu_journal();
    ASSERT_EQ(rows.size(), 6u);
    const std::vector<std::vector<std::string>> want = {
        {"vorn_chmod", "1", "493", "0"},
        {"vorn_nodereboot_async", "2", "-", "0"},
        {"vorn_nodepolicy", "3", "a\\tb\\\\c\\nd", "EINVAL"},
        {"vorn_libadd", "-", "libc.so.6", "0"},
        {"vorn_chmod", "9", "0", "EINVAL"},
        {"vorn_libclear", "-", "-", "0"},
    };
    for (size_t i = 0; i < want.size(); i++) {
        ASSERT_EQ(rows[i].size(), 6u) << i;
        EXPECT_EQ(rows[i][1], "0");
        EXPECT_EQ(std::vector<std::string>(rows[i].begin() + 2, rows[i].end()), want[i]) << i;
        // SECONDS.MICROS
        EXPECT_EQ(rows[i][0].size() - rows[i][0].find('.'), 7u) << rows[i][0];
    }
}

TEST_F(ClusterTest, FaultsFailCallsWithoutEffect)
{
    ASSERT_EQ(tu_vornemu({"fail", "vorn_chmod", "3", "EIO", "2"}).status, 0);
    ASSERT_EQ(tu_vornemu({"fail", "vorn_nodelist", "any", "5"}).status, 0); // EIO by number
    ASSERT_EQ(tu_vornemu({"fail", "vorn_libadd", "any", "ENOSPC"}).status, 0);
    // Node 3 only, twice, then healed by its count.
    EXPECT_EQ(vorn_chmod(4, 0700), 0);
    for (int i = 0; i < 2; i++) {
        errno = 0;
        EXPECT_EQ(vorn_chmod(3, 0700), -1);
        EXPECT_EQ(errno, EIO);
    }
    struct vorn_node_info info;
    ASSERT_EQ(vorn_nodeinfo(3, &info), 0);
    EXPECT_EQ(info.mode, 0111u); // without effect
    EXPECT_EQ(vorn_chmod(3, 0700), 0);
    EXPECT_EQ(last_row()[5], "0");
    // Queries fail too; without a count every call.
    struct vorn_node_info *list = nullptr;
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(vorn_nodelist(&list), -1);
        EXPECT_EQ(errno, EIO);
    }
    EXPECT_EQ(vorn_libadd("x"), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(last_row(),
              (std::vector<std::string>{last_row()[0], "0", "vorn_libadd", "-", "x", "ENOSPC"}));
    ASSERT_EQ(tu_vornemu({"heal"}).status, 0);
    ASSERT_EQ(vorn_nodelist(&list), 8);
    free(list);
    EXPECT_EQ(vorn_libadd("x"), 0);
    char *libs = nullptr;
    ASSERT_EQ(vorn_liblist(&libs), 0);
    EXPECT_STREQ(libs, "x");
    free(libs);
}

TEST_F(ClusterTest, FaultOnOneNodeLeavesOthers)
{
    ASSERT_EQ(tu_vornemu({"fail", "vorn_nodereboot", "2", "ETIMEDOUT"}).status, 0);
    EXPECT_EQ(vorn_nodereboot(1), 0);
    EXPECT_EQ(vorn_nodereboot(2), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_EQ(vorn_nodereboot_async(2), 0); // another function
    EXPECT_EQ(vorn_nodereboot(2), -1);
    auto rows = tu_journal();
    ASSERT_GE(rows.size(), 2u);
    EXPECT_EQ(rows.back()[2], "vorn_nodereboot");
    EXPECT_EQ(rows.back()[5], "ETIMEDOUT");
}

TEST_F(ClusterTest, RebootPassesThroughBoot)
{
    tu_cluster slow = tu_cluster_make(4, {"--boot-delay", "0.4"});
    double t0 = now_s();
    ASSERT_EQ(vorn_nodereboot(1), 0);
    double took = now_s() - t0;
    EXPECT_GE(took, 0.39);
    EXPECT_EQ(vorn_nodestatus(1), VORN_NODE_UP);

    ASSERT_EQ(vorn_nodereboot_async(2), 0);
    EXPECT_LT(now_s() - t0 - took, 0.3);
    EXPECT_EQ(vorn_nodestatus(2), VORN_NODE_BOOT);
    EXPECT_EQ(vorn_nodereboot(2), -1); // not up while booting
    EXPECT_EQ(errno, EHOSTDOWN);
    usleep(450000);
    EXPECT_EQ(vorn_nodestatus(2), VORN_NODE_UP); // finished by itself

    ASSERT_EQ(vorn_nodehalt(1), 0);
    EXPECT_EQ(vorn_nodestatus(1), VORN_NODE_DOWN);
    ASSERT_EQ(vorn_nodepwroff_async(2), 0);
    EXPECT_EQ(vorn_nodestatus(2), VORN_NODE_DOWN);
    ASSERT_EQ(vorn_nodesetstatus(2, VORN_NODE_UP), 0);
    ASSERT_EQ(vorn_nodereboot_async(2), 0);
    ASSERT_EQ(vorn_nodesetstatus(2, VORN_NODE_ERROR), 0); // cancels the boot
    usleep(450000);
    EXPECT_EQ(vorn_nodestatus(2), VORN_NODE_ERROR);
    tu_cluster_drop(slow);
}

TEST_F(ClusterTest, LibraryList)
{
    char *libs = nullptr;
    ASSERT_EQ(vorn_liblist(&libs), 0);
    EXPECT_EQ(libs[0], 0);
    free(libs);
    for (const char *name : {"/lib/libc.so.6", "b", "a", "with space"})
        ASSERT_EQ(vorn_libadd(name), 0) << name;
    std::string longest(4095, 'x'), too_long(4096, 'y');
    EXPECT_EQ(vorn_libadd(longest.c_str()), 0);
    errno = 0;
    EXPECT_EQ(vorn_libadd("b"), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(vorn_libdel("zz"), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(vorn_libadd(""), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(vorn_libdel(""), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(vorn_libadd(nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(vorn_libadd(too_long.c_str()), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    ASSERT_EQ(vorn_libdel("b"), 0);
    ASSERT_EQ(vorn_liblist(&libs), 0);
    std::vector<std::string> got;
    for (char *p = libs; *p; p += strlen(p) + 1)
        got.push_back(p);
    free(libs);
    EXPECT_EQ(got, (std::vector<std::string>{"/lib/libc.so.6", "a", "with space", longest}));
    ASSERT_EQ(vorn_libclear(), 0);
    ASSERT_EQ(vorn_liblist(&libs), 0);
    EXPECT_EQ(libs[0], 0);
    free(libs);
}

TEST_F(ClusterTest, VersionAndFileCache)
{
    struct vorn_version_info v;
    memset(&v, 0x55, sizeof v);
    ASSERT_EQ(vorn_version(&v), 0);
    EXPECT_EQ(std::string(v.version, 3), "500");
#if defined(__x86_64__)
    EXPECT_EQ(v.code, 5);
#else
    EXPECT_EQ(v.code, 1);
#endif
    EXPECT_EQ(v.value, 2);
    EXPECT_STREQ(v.text, "emulated");
    std::string f = c.dir + "/cached";
    tu_write_file(f, "cached bytes");
    int fd = vorn_requestfile(f.c_str());
    ASSERT_GE(fd, 0);
    char buf[64] = {0};
    EXPECT_EQ(read(fd, buf, sizeof buf), 12);
    EXPECT_STREQ(buf, "cached bytes");
    EXPECT_EQ(write(fd, "x", 1), -1); // read-only
    close(fd);
    for (int e : {EIO, ENOENT, EHOSTDOWN, EACCES, EPERM, EOPNOTSUPP, ENOSYS, EEXIST})
        EXPECT_STREQ(vorn_strerror(e), strerror(e));
}

// ---- As a user other than root ----

namespace
{

int nobody_changes(void *)
{
    // Queries work; every change is refused with EPERM, even on a node
    // the caller may use.
    if (vorn_numnodes() != 8 || vorn_nodestatus(1) != VORN_NODE_UP)
        return 10;
    int (*const changes[])() = {
        [] { return vorn_chmod(1, 0777); },
        [] { return vorn_chown(1, 65534); },
        [] { return vorn_nodesetstatus(1, 0); },
        [] { return vorn_nodereboot(1); },
        [] { return vorn_nodehalt_async(1); },
        [] { return vorn_nodepolicy(1, "halt"); },
        [] { return vorn_set_r2c(1, 5); },
        [] { return vorn_nodechroot(1, "/tmp"); },
        [] { return vorn_libadd("x"); },
        [] { return vorn_libdel("x"); },
        [] { return vorn_libclear(); },
        // Privilege comes before the argument checks.
        [] { return vorn_libadd(""); },
        [] { return vorn_libdel(nullptr); },
        [] { return vorn_libadd(std::string(5000, 'x').c_str()); },
        [] { return vorn_nodereconnect(1, nullptr, 0, nullptr, 0); },
        [] { return vorn_nodereconnect(-1, nullptr, 0, nullptr, 0); },
    };
    int i = 0;
    for (auto change : changes) {
        i++;
        errno = 0;
        if (change() != -1 || errno != EPERM)
            return 20 + i;
    }
    // Range is checked before privilege.
    if (vorn_chmod(8, 0) != -1 || errno != EINVAL)
        return 40;
    return 0;
}

int nobody_access(void *)
{
    // node 0: 0111 (others may run); node 1: 0110 (group only, root's);
    // node 2: 0100 owned by nobody; node 3: 0010 group nogroup (65534)
    const struct {
        int node;
        int mode;
        int ok;
    } cases[] = {{-1, 1, 1}, {0, 1, 1}, {0, 4, 0}, {1, 1, 0}, {2, 1, 1},
                 {2, 2, 0},  {3, 1, 1}, {4, 1, 0}, {4, 0, 1}};
    int i = 0;
    for (const auto &t : cases) {
        i++;
        errno = 0;
        int rc = vorn_access(t.node, t.mode);
        if (t.ok ? rc != 0 : (rc != -1 || errno != EACCES))
            return 10 + i;
    }
    return 0;
}

} // namespace

TEST(ClusterUsers, NobodyGetsEPERMOnChanges)
{
    tu_cluster c = tu_cluster_make(8, {"--boot-delay", "0", "--shared"});
    EXPECT_EQ(tu_as_nobody(nobody_changes, nullptr), 0);
    // The refused calls were journaled under nobody's uid.
    auto rows = tu_journal();
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows[0][1], "65534");
    EXPECT_EQ(rows[0][5], "EPERM");
    tu_cluster_drop(c);
}

TEST(ClusterUsers, AccessFollowsModeUserAndGroup)
{
    tu_cluster c = tu_cluster_make(8, {"--boot-delay", "0", "--shared"});
    ASSERT_EQ(vorn_chmod(1, 0110), 0);
    ASSERT_EQ(vorn_chmod(2, 0100), 0);
    ASSERT_EQ(vorn_chown(2, 65534), 0);
    ASSERT_EQ(vorn_chmod(3, 0010), 0);
    ASSERT_EQ(vorn_chgrp(3, 65534), 0);
    ASSERT_EQ(vorn_chmod(4, 0), 0);
    EXPECT_EQ(tu_as_nobody(nobody_access, nullptr), 0);
    EXPECT_EQ(vorn_access(4, 7), 0); // root always may
    tu_cluster_drop(c);
}

// Group membership counts through every supplementary group, not only
// the first 256.
TEST(ClusterUsers, AccessThroughTheLastOfManyGroups)
{
    tu_cluster c = tu_cluster_make(8, {"--boot-delay", "0", "--shared"});
    ASSERT_EQ(vorn_chmod(1, 0010), 0);
    ASSERT_EQ(vorn_chgrp(1, 5999), 0);
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<gid_t> groups;
        for (gid_t g = 5000; g < 6000; g++)
            groups.push_back(g);
        if (setgroups(groups.size(), groups.data()) < 0 || setgid(65534) < 0 || setuid(65534) < 0)
            _exit(2);
        _exit(vorn_access(1, 1) == 0 && vorn_access(2, 1) == 0 && vorn_access(1, 2) == -1 ? 0 : 1);
    }
    int st;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    tu_cluster_drop(c);
}

TEST(ClusterUsers, PrivateClusterIsReadOnlyForOthers)
{
    tu_cluster c = tu_cluster_make(8);
    ASSERT_EQ(tu_vornemu({"fail", "vorn_nodestatus", "2", "EIO", "1"}).status, 0);
    EXPECT_EQ(tu_as_nobody(
                  [](void *) -> int {
                      if (vorn_numnodes() != 8)
                          return 1;
                      struct vorn_node_info *l;
                      if (vorn_nodelist(&l) != 8)
                          return 2;
                      free(l);
                      if (vorn_chmod(1, 0) != -1 || errno != EPERM)
                          return 3;
                      // Placing work means writing the cluster: not ours.
                      if (_vorn_rfork_io(1, nullptr, -1, 0) != -1 || errno != EACCES)
                          return 4;
                      // Faults apply, without being used up.
                      for (int i = 0; i < 2; i++)
                          if (vorn_nodestatus(2) != -1 || errno != EIO)
                              return 5;
                      return 0;
                  },
                  nullptr),
              0);
    EXPECT_EQ(vorn_nodestatus(2), -1); // still armed: root uses it up
    EXPECT_EQ(vorn_nodestatus(2), VORN_NODE_UP);
    tu_cluster_drop(c);
}

TEST(ClusterSizes, NoSlaveNodes)
{
    tu_cluster c = tu_cluster_make(0);
    EXPECT_EQ(vorn_numnodes(), 0);
    struct vorn_node_info *list = nullptr;
    EXPECT_EQ(vorn_nodelist(&list), 0);
    free(list);
    EXPECT_EQ(vorn_getnodebyname("0"), -3);
    EXPECT_EQ(vorn_getnodebyname("master"), -1);
    EXPECT_EQ(vorn_nodestatus(-1), VORN_NODE_UP);
    EXPECT_EQ(vorn_chmod(0, 0755), -1);
    EXPECT_EQ(errno, EINVAL);
    tu_cluster_drop(c);
}

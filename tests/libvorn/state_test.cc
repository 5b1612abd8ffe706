// state_test.cc - the emulated cluster's state directory: concurrent
// writers, damaged files, planted symlinks, size, and vornemu's command
// line.
#include <vorn/vorn.h>

#include "testutil.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

struct StateTest : ::testing::Test {
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

std::string damaged(const std::string &path)
{
    return "vornemu: " + path + ": damaged, truncated or foreign cluster state\n";
}

void patch_file(const std::string &path, off_t off, const std::string &bytes)
{
    int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), off), (ssize_t)bytes.size());
    close(fd);
}

} // namespace

TEST_F(StateTest, ConcurrentWritersLoseNothing)
{
    const int procs = 8, rounds = 150;
    std::vector<pid_t> pids;
    for (int p = 0; p < procs; p++) {
        pid_t pid = fork();
        if (pid == 0) {
            int bad = 0;
            for (int k = 0; k < rounds; k++) {
                std::string name = "p" + std::to_string(p) + "-" + std::to_string(k);
                bad |= vorn_libadd(name.c_str()) != 0;
                bad |= vorn_chmod(p, k) != 0;
                bad |= vorn_chown((p + 1) % procs, p * 1000 + k) != 0;
            }
            _exit(bad);
        }
        pids.push_back(pid);
    }
    for (pid_t pid : pids) {
        int st;
        waitpid(pid, &st, 0);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    }
    char *libs = nullptr;
    ASSERT_EQ(vorn_liblist(&libs), 0);
    std::set<std::string> names;
    size_t count = 0;
    for (char *p = libs; *p; p += strlen(p) + 1, count++)
        names.insert(p);
    free(libs);
    EXPECT_EQ(count, (size_t)procs * rounds);
    EXPECT_EQ(names.size(), (size_t)procs * rounds);
    for (int p = 0; p < procs; p++) {
        struct vorn_node_info info;
        ASSERT_EQ(vorn_nodeinfo(p, &info), 0);
        EXPECT_EQ(info.mode, (unsigned)rounds - 1);
        EXPECT_EQ(info.user, (unsigned)(((p + procs - 1) % procs) * 1000 + rounds - 1));
    }
    auto rows = tu_journal();
    ASSERT_EQ(rows.size(), (size_t)procs * rounds * 3);
    for (const auto &r : rows)
        ASSERT_EQ(r.size(), 6u);
}

TEST_F(StateTest, ConcurrentFirstUseMakesOneCluster)
{
    std::string fresh = c.dir + "/fresh";
    setenv("VORN_CLUSTER", fresh.c_str(), 1);
    std::vector<pid_t> pids;
    for (int p = 0; p < 8; p++) {
        pid_t pid = fork();
        if (pid == 0)
            _exit(vorn_numnodes() == 8 && vorn_libadd(("l" + std::to_string(p)).c_str()) == 0 ? 0
                                                                                              : 1);
        pids.push_back(pid);
    }
    for (pid_t pid : pids) {
        int st;
        waitpid(pid, &st, 0);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    }
    char *libs = nullptr;
    ASSERT_EQ(vorn_liblist(&libs), 0);
    int count = 0;
    for (char *p = libs; *p; p += strlen(p) + 1)
        count++;
    free(libs);
    EXPECT_EQ(count, 8);
    // Only the cluster itself is left: no half-built directories.
    tu_result r = tu_run({"/bin/ls", c.dir});
    EXPECT_EQ(r.out, "cluster\nfresh\n");
}

// Each kind of damage: the library answers EIO, vornemu says so and fails.
TEST_F(StateTest, DamagedStateGivesEIO)
{
    struct {
        const char *what;
        const char *file;
        off_t off; // -1: cut the file to `cut` bytes
        off_t cut;
        std::string bytes;
    } cases[] = {
        {"foreign magic", "nodes", 0, 0, "NOTVORN"},
        {"header checksum", "nodes", 20, 0, std::string("\x09\x00\x00\x00", 4)},
        {"cut in a record", "nodes", -1, 256 + 48 * 3 + 10, ""},
        {"cut to nothing", "nodes", -1, 0, ""},
        {"bad node state", "nodes", 256 + 48 * 2, 0, std::string("\x01\0\0\0\x63\0\0\0", 8)},
    };
    for (auto &t : cases) {
        tu_cluster d = tu_cluster_make(8);
        std::string f = d.path + "/" + t.file;
        if (t.off < 0)
            ASSERT_EQ(truncate(f.c_str(), t.cut), 0);
        else
            patch_file(f, t.off, t.bytes);
        struct vorn_node_info *list = nullptr;
        errno = 0;
        EXPECT_EQ(vorn_nodelist(&list), -1) << t.what;
        EXPECT_EQ(errno, EIO) << t.what;
        tu_result r = tu_vornemu({"show"});
        EXPECT_EQ(r.status, 1) << t.what;
        EXPECT_EQ(r.err, damaged(d.path)) << t.what;
        tu_cluster_drop(d);
    }
}

TEST_F(StateTest, DamagedSideFilesGiveEIO)
{
    tu_write_file(c.path + "/libs", "no terminator");
    char *libs = nullptr;
    EXPECT_EQ(vorn_liblist(&libs), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(vorn_libadd("x"), -1);
    EXPECT_EQ(errno, EIO);
    // An empty name inside the list, or at its start, would end it early.
    for (std::string bytes : {std::string("a\0\0b\0", 5), std::string("\0a\0", 3)}) {
        tu_write_file(c.path + "/libs", bytes);
        EXPECT_EQ(vorn_liblist(&libs), -1);
        EXPECT_EQ(errno, EIO);
        EXPECT_EQ(vorn_libdel("b"), -1);
        EXPECT_EQ(errno, EIO);
    }
    tu_write_file(c.path + "/libs", std::string("a\0b\0", 4));
    ASSERT_EQ(vorn_liblist(&libs), 0);
    EXPECT_EQ(std::string(libs, 5), std::string("a\0b\0\0", 5));
    free(libs);
    // A placement record that no call wrote: a file, not a record.
    tu_write_file(c.path + "/placed/" + std::to_string(getpid()), "12345");
    EXPECT_EQ(vorn_pidnode(getpid()), -1);
    EXPECT_EQ(errno, EIO);
    unlink((c.path + "/placed/" + std::to_string(getpid())).c_str());
    tu_write_file(c.path + "/faults", "abc"); // not whole records
    EXPECT_EQ(vorn_numnodes(), -1);
    EXPECT_EQ(errno, EIO);
    tu_result r = tu_vornemu({"heal"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(vorn_numnodes(), 8);
    // A cluster without its journal, or a directory without any of the
    // files, is not a cluster.
    ASSERT_EQ(unlink((c.path + "/journal").c_str()), 0);
    r = tu_vornemu({"show"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, damaged(c.path));
    std::string other = c.dir + "/half";
    ASSERT_EQ(mkdir(other.c_str(), 0755), 0);
    setenv("VORN_CLUSTER", other.c_str(), 1);
    EXPECT_EQ(vorn_numnodes(), -1);
    EXPECT_EQ(errno, EIO);
    r = tu_vornemu({"show"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, damaged(other));
}

// A FIFO or a directory in place of a state file is damage too, and must
// not hang the open (a FIFO journal once blocked every call for good).
TEST_F(StateTest, SomethingElseInPlaceOfAStateFile)
{
    const char *files[] = {"nodes", "lock", "journal", "faults", "placed", "libs", "chroot"};
    // placed/ is a directory: a file in its place instead.
    auto other = [](const std::string &f, int fifo) {
        if (fifo)
            return mkfifo(f.c_str(), 0644);
        if (f.compare(f.size() - 7, 7, "/placed") != 0)
            return mkdir(f.c_str(), 0755);
        tu_write_file(f, "");
        return 0;
    };
    for (const char *file : files) {
        for (int fifo = 0; fifo < 2; fifo++) {
            std::string what = std::string(file) + (fifo ? " as a FIFO" : " as a directory");
            tu_cluster d = tu_cluster_make(8);
            std::string f = d.path + "/" + file;
            ASSERT_EQ(remove(f.c_str()), 0) << what;
            ASSERT_EQ(other(f, fifo), 0) << what;
            pid_t pid = fork();
            if (pid == 0) {
                alarm(10);
                struct vorn_node_info *list = nullptr;
                char *libs = nullptr;
                int bad = vorn_numnodes() != -1 || errno != EIO;
                bad |= vorn_nodelist(&list) != -1 || errno != EIO;
                bad |= vorn_liblist(&libs) != -1 || errno != EIO;
                bad |= vorn_notifier() != -1 || errno != EIO;
                _exit(bad);
            }
            int st;
            ASSERT_EQ(waitpid(pid, &st, 0), pid);
            EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << what << ": status " << st;
            for (const char *cmd : {"show", "log"}) {
                tu_result r = tu_run(tu_timeout(10, {tu_bin("vornemu"), cmd}));
                EXPECT_EQ(r.status, 1) << what << ", vornemu " << cmd;
                EXPECT_EQ(r.err, damaged(d.path)) << what << ", vornemu " << cmd;
            }
            // Such a cluster is still replaced and removed whole, leaving
            // nothing behind.
            if (strcmp(file, "nodes") != 0) {
                EXPECT_EQ(tu_vornemu({"init", "--force"}).status, 0) << what;
                ASSERT_EQ(remove(f.c_str()), 0) << what;
                ASSERT_EQ(other(f, fifo), 0) << what;
                tu_result r = tu_vornemu({"destroy"});
                EXPECT_EQ(r.status, 0) << what << ": " << r.err;
                EXPECT_EQ(tu_run({"/bin/ls", "-A", d.dir}).out, "") << what;
            }
            tu_cluster_drop(d);
        }
    }
}

// Records of the fault and process files that no call would have written:
// an error number out of range, a count of 0, an unknown function, a node
// outside the cluster.  The calls say EIO instead of failing with nonsense.
TEST_F(StateTest, ForeignRecordsInSideFilesGiveEIO)
{
    struct fault_rec {
        char fn[40];
        int32_t node, err, count, reserved;
    };
    auto fault = [](const char *fn, int32_t node, int32_t err, int32_t count) {
        fault_rec f{};
        strncpy(f.fn, fn, sizeof f.fn);
        f.node = node;
        f.err = err;
        f.count = count;
        return std::string((const char *)&f, sizeof f);
    };
    const int32_t any = INT32_MIN;
    // The well-formed record works as vornemu fail would arm it.
    tu_write_file(c.path + "/faults", fault("vorn_numnodes", any, EIO, 1));
    EXPECT_EQ(vorn_numnodes(), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(vorn_numnodes(), 8);
    const struct {
        const char *what;
        std::string bytes;
    } faults[] = {
        {"negative error", fault("vorn_numnodes", any, -5, -1)},
        {"error 0", fault("vorn_numnodes", any, 0, -1)},
        {"huge error", fault("vorn_numnodes", any, 1 << 30, -1)},
        {"count 0", fault("vorn_numnodes", any, ENOSPC, 0)},
        {"count below forever", fault("vorn_numnodes", any, ENOSPC, -7)},
        {"unknown function", fault("vorn_bogus", any, ENOSPC, -1)},
        {"node below the master", fault("vorn_nodestatus", -9, ENOSPC, -1)},
        {"unterminated name", std::string(40, 'v') + fault("x", 0, 5, 1).substr(40)},
    };
    for (const auto &t : faults) {
        tu_write_file(c.path + "/faults", t.bytes);
        errno = 0;
        EXPECT_EQ(vorn_numnodes(), -1) << t.what;
        EXPECT_EQ(errno, EIO) << t.what;
    }
    ASSERT_EQ(tu_vornemu({"heal"}).status, 0);
    const struct {
        const char *what;
        const char *text; // of the record placed/PID: "NODE START"
    } procs[] = {
        {"node beyond the cluster", "8 0"},
        {"node below the master", "-2 0"},
        {"no start time", "1"},
        {"start time not a number", "1 x"},
    };
    std::string rec = c.path + "/placed/" + std::to_string(getpid());
    for (const auto &t : procs) {
        unlink(rec.c_str());
        ASSERT_EQ(symlink(t.text, rec.c_str()), 0);
        errno = 0;
        EXPECT_EQ(vorn_pidnode(getpid()), -1) << t.what;
        EXPECT_EQ(errno, EIO) << t.what;
        tu_result r = tu_vornemu({"show"});
        EXPECT_EQ(r.status, 1) << t.what;
        EXPECT_EQ(r.err, damaged(c.path)) << t.what;
    }
}

// vornemu show writing into a pipe that nobody reads (a stopped pager)
// must not hold up changes to the cluster.
TEST(StateShow, StalledReaderDoesNotBlockChanges)
{
    tu_cluster c = tu_cluster_make(20000);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    std::vector<std::string> cmd = tu_command({tu_bin("vornemu"), "show"});
    std::vector<char *> argv;
    for (std::string &a : cmd)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_t show = fork();
    if (show == 0) {
        dup2(p[1], 1);
        close(p[0]);
        close(p[1]);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(p[1]);
    // Until the pipe is full: vornemu is then stalled in a write.
    int size = fcntl(p[0], F_GETPIPE_SZ), queued = 0;
    for (int i = 0; i < 60000 && queued < size; i++, usleep(1000))
        ASSERT_EQ(ioctl(p[0], FIONREAD, &queued), 0);
    ASSERT_EQ(queued, size) << "vornemu show never filled the pipe";
    pid_t change = fork();
    if (change == 0) {
        alarm(60); // a lock wait ends by itself after 10 s
        _exit(vorn_chmod(1, 0700) == 0 && vorn_libadd("x") == 0 ? 0 : 1);
    }
    int st;
    ASSERT_EQ(waitpid(change, &st, 0), change);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "status " << st;
    close(p[0]); // vornemu dies of SIGPIPE
    waitpid(show, &st, 0);
    tu_cluster_drop(c);
}

TEST_F(StateTest, PlantedSymlinkIsRefused)
{
    std::string link = c.dir + "/link", target = c.dir + "/target";
    ASSERT_EQ(symlink(c.path.c_str(), link.c_str()), 0);
    setenv("VORN_CLUSTER", link.c_str(), 1);
    EXPECT_EQ(vorn_numnodes(), -1);
    EXPECT_EQ(errno, ELOOP);
    EXPECT_EQ(tu_vornemu({"show"}).status, 1);
    EXPECT_EQ(tu_vornemu({"init", "--force"}).status, 1);
    // A dangling link is not followed to create a cluster behind it.
    std::string dangling = c.dir + "/dangling";
    ASSERT_EQ(symlink(target.c_str(), dangling.c_str()), 0);
    setenv("VORN_CLUSTER", dangling.c_str(), 1);
    EXPECT_EQ(vorn_numnodes(), -1);
    EXPECT_EQ(tu_vornemu({"init"}).status, 1);
    struct stat st;
    EXPECT_EQ(lstat(target.c_str(), &st), -1);
}

TEST_F(StateTest, ClusterOfAnotherUserIsRefused)
{
    ASSERT_EQ(chown(c.path.c_str(), 65534, 65534), 0);
    EXPECT_EQ(vorn_numnodes(), -1);
    EXPECT_EQ(errno, EACCES);
    tu_result r = tu_vornemu({"show"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "vornemu: " + c.path + ": not a cluster of yours: Permission denied\n");
    ASSERT_EQ(chown(c.path.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(c.path.c_str(), 0777), 0); // writable by others
    EXPECT_EQ(vorn_numnodes(), -1);
    EXPECT_EQ(errno, EACCES);
    ASSERT_EQ(chmod(c.path.c_str(), 0755), 0);
    EXPECT_EQ(vorn_numnodes(), 8);
}

TEST_F(StateTest, RecreatedClusterIsNoticed)
{
    EXPECT_EQ(vorn_numnodes(), 8);
    ASSERT_EQ(vorn_chmod(1, 0700), 0);
    ASSERT_EQ(tu_vornemu({"init", "--nodes", "3", "--force"}).status, 0);
    EXPECT_EQ(vorn_numnodes(), 3);
    struct vorn_node_info info;
    ASSERT_EQ(vorn_nodeinfo(1, &info), 0);
    EXPECT_EQ(info.mode, 0111u);
    ASSERT_EQ(tu_vornemu({"destroy"}).status, 0);
    struct stat st;
    EXPECT_EQ(stat(c.path.c_str(), &st), -1);
    EXPECT_EQ(vorn_numnodes(), 8); // made again on first use
}

TEST(StateScale, MillionNodes)
{
    tu_cluster c = tu_cluster_make(1000000);
    EXPECT_EQ(vorn_numnodes(), 1000000);
    EXPECT_EQ(vorn_nodestatus(999999), VORN_NODE_UP);
    ASSERT_EQ(vorn_chmod(999999, 0700), 0);
    ASSERT_EQ(vorn_nodesetstatus(500000, VORN_NODE_DOWN), 0);
    // The chroot table of the last node lies past 4 GiB, beyond a 32-bit offset.
    ASSERT_EQ(vorn_nodechroot(999999, "/srv/last"), 0);
    struct vorn_node_info info;
    ASSERT_EQ(vorn_nodeinfo(999999, &info), 0);
    EXPECT_EQ(info.mode, 0700u);
    EXPECT_EQ(vorn_getnodebyname("n999999"), 999999);
    EXPECT_EQ(vorn_getnodebyname("1000000"), -3);
    struct vorn_node_info *list = nullptr;
    ASSERT_EQ(vorn_nodelist(&list), 1000000);
    EXPECT_EQ(list[500000].status, VORN_NODE_DOWN);
    EXPECT_EQ(list[999999].mode, 0700u);
    free(list);
    tu_cluster_drop(c);
}

// The largest cluster still gives every node its own loopback address.
TEST(StateScale, LargestClusterStaysOnLoopback)
{
    tu_cluster c = tu_cluster_make(16711679);
    struct sockaddr_in a;
    int len = sizeof a;
    ASSERT_EQ(vorn_nodeaddr(16711678, &a, &len), 0);
    EXPECT_EQ(ntohl(a.sin_addr.s_addr), 0x7fffffffu);
    EXPECT_EQ(vorn_nodenumber(&a, sizeof a), 16711678);
    tu_cluster_drop(c);
}

// vornemu's command line: arguments, expected output, errors, status.
TEST_F(StateTest, VornemuCommandLine)
{
    const std::string usage = tu_read_file(tu_source("tests/libvorn/vornemu-usage.txt"));
    ASSERT_FALSE(usage.empty());
    const std::string hint = "Try 'vornemu -h' for more information.\n";
    const struct {
        std::vector<std::string> args;
        std::string out, err;
        int status;
    } cases[] = {
        {{"-h"}, usage, "", 0},
        {{"--help"}, usage, "", 0},
        {{}, "", usage, 1},
        {{"frobnicate"}, "", "vornemu: unknown command: frobnicate\n" + hint, 1},
        {{"show", "extra"}, "", "vornemu: unexpected argument: extra\n" + hint, 1},
        {{"fail", "vorn_bogus", "any", "EIO"},
         "",
         "vornemu: unknown library function: vorn_bogus\n",
         1},
        {{"fail", "vorn_chmod", "8", "EIO"}, "", "vornemu: invalid node: 8\n", 1},
        {{"fail", "vorn_chmod", "x", "EIO"}, "", "vornemu: invalid node: x\n", 1},
        {{"fail", "vorn_chmod", "1", "EBOGUS"}, "", "vornemu: invalid error number: EBOGUS\n", 1},
        {{"fail", "vorn_chmod", "1", "0"}, "", "vornemu: invalid error number: 0\n", 1},
        {{"fail", "vorn_chmod", "1", "EIO", "0"}, "", "vornemu: invalid count: 0\n", 1},
        {{"fail", "vorn_chmod", "1", "EIO", "2x"}, "", "vornemu: invalid count: 2x\n", 1},
        {{"fail", "vorn_libadd", "1", "EIO"},
         "",
         "vornemu: vorn_libadd takes no node: use any\n",
         1},
        {{"fail", "vorn_chmod"},
         "",
         "vornemu: fail needs FUNCTION NODE|any ERRNO [COUNT]\n" + hint,
         1},
        {{"fail", "vorn_chmod", "-1", "EIO", "3"}, "", "", 0},
        {{"init"}, "", "vornemu: " + c.path + ": a cluster exists (--force replaces it)\n", 1},
        {{"init", "--nodes", "x"}, "", "vornemu: invalid node count: x\n", 1},
        {{"init", "--nodes", "16711680"}, "", "vornemu: invalid node count: 16711680\n", 1},
        {{"init", "--boot-delay", "-1"}, "", "vornemu: invalid boot delay: -1\n", 1},
        {{"init", "stray"}, "", "vornemu: unexpected argument: stray\n" + hint, 1},
        {{"init", "--force", "--nodes", "2", "--boot-delay", "0.25", "--shared"},
         "cluster " + c.path + ": 2 nodes, boot delay 0.250 s, shared\n",
         "",
         0},
        {{"show"},
         "cluster " + c.path +
             ": 2 nodes, boot delay 0.250 s, shared\n"
             "NODE    STATE       MODE  USER     GROUP    ADDRESS         PROCESSES\n"
             "master  up          0111  root     root     127.0.0.1\n"
             "0       up          0111  root     root     127.1.0.1\n"
             "1       up          0111  root     root     127.1.0.2\n",
         "",
         0},
        {{"log"}, "", "", 0},
        {{"destroy"}, "", "", 0},
        {{"show"}, "", "vornemu: " + c.path + ": no cluster here (see vornemu init)\n", 1},
        {{"destroy"}, "", "vornemu: " + c.path + ": no cluster here (see vornemu init)\n", 1},
    };
    for (const auto &t : cases) {
        tu_result r = tu_vornemu(t.args);
        std::string what;
        for (const auto &a : t.args)
            what += a + " ";
        EXPECT_EQ(r.out, t.out) << what;
        EXPECT_EQ(r.err, t.err) << what;
        EXPECT_EQ(r.status, t.status) << what;
    }
}

TEST_F(StateTest, ShowListsPlacedProcesses)
{
    ASSERT_EQ(vorn_chmod(2, 0750), 0);
    ASSERT_EQ(vorn_chown(2, 65534), 0);
    ASSERT_EQ(vorn_nodesetstatus(3, VORN_NODE_DOWN), 0);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    pid_t pid = _vorn_rfork_io(2, nullptr, -1, 0);
    if (pid == 0) {
        close(p[1]);
        char b;
        read(p[0], &b, 1);
        _exit(0);
    }
    close(p[0]);
    tu_result r = tu_vornemu({"show"});
    close(p[1]);
    waitpid(pid, nullptr, 0);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("\n2       up          0750  nobody   root     127.1.0.3       " +
                         std::to_string(pid) + "\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\n3       down        0111  root     root     127.1.0.4\n"),
              std::string::npos)
        << r.out;
}

// vornemu check: silent with status 0 on a sound cluster; one line per
// inconsistency, status 1, once things are damaged.
TEST(StateCheck, CheckReportsEachInconsistency)
{
    tu_cluster c = tu_cluster_make(16, {"--boot-delay", "0", "--shared"});
    ASSERT_EQ(vorn_chmod(1, 0700), 0);
    tu_result r = tu_vornemu({"check"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(symlink("99 5", (c.path + "/placed/12345").c_str()), 0);
    ASSERT_EQ(mkdir((c.path + "/users/065534").c_str(), 0755), 0);
    int fd = open((c.path + "/journal").c_str(), O_WRONLY | O_APPEND);
    ASSERT_EQ(write(fd, "x\tbad\n", 6), 6);
    close(fd);
    patch_file(c.path + "/nodes", 256 + 48 * 3, "\x01\x02");
    r = tu_vornemu({"check"});
    EXPECT_EQ(r.out, "nodes: node 3: damaged record\n"
                     "placed/12345: node 99 is outside the cluster\n"
                     "journal:2: not a journal line\n"
                     "users/065534: not the directory of the user it names (ignored)\n");
    EXPECT_EQ(r.status, 1);
    tu_cluster_drop(c);
}

// users_test.cc - a placement's cost and the lock under load, and users of
// a shared cluster who try to stall or steer one another: each attack made
// for real by a second user.
#include <vorn/vorn.h>

#include "testutil.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

// Runs fn in a forked child as uid (group uid, no other groups).
int as_user(uid_t uid, int (*fn)(void *), void *arg)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) || setgid(uid) || setuid(uid))
            _exit(126);
        _exit(fn(arg));
    }
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

// A child placed on node that waits to be killed; -1 on failure.
pid_t placed_child(int node)
{
    int rc = _vorn_rfork_io(node, nullptr, -1, 0);
    if (rc == 0) {
        pause();
        _exit(0);
    }
    return rc;
}

void end_all(const std::vector<pid_t> &pids)
{
    for (pid_t p : pids)
        kill(p, SIGKILL);
    for (pid_t p : pids)
        waitpid(p, nullptr, 0);
}

// The system calls of one placement (the probe moving itself onto node 1)
// that read /proc or write state, as strace prints them.
std::vector<std::string> placement_calls(const std::string &dir)
{
    std::string log = dir + "/trace";
    tu_result r = tu_run({"/usr/bin/strace", "-qq", "-o", log, "-e",
                          "trace=openat,write,pwrite64,rename,renameat,symlinkat,unlinkat,"
                          "ftruncate,fsync,fdatasync",
                          VORN_PROBE, "place", "1"},
                         "", {"ASAN_OPTIONS=detect_leaks=0"}); // no LeakSanitizer under a tracer
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    std::vector<std::string> calls;
    std::string text = tu_read_file(log);
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        std::string line = text.substr(at, end - at);
        if (line.compare(0, 7, "openat(") == 0 && line.find("\"/proc/") == std::string::npos)
            continue;
        if (line.compare(0, 6, "write(") == 0 && line.compare(0, 8, "write(1,") == 0)
            continue; // the probe's own output
        calls.push_back(line.substr(0, line.find('(')));
    }
    return calls;
}

} // namespace

// A placement reads and writes the same with 0 and with 500 processes
// placed: no table of all placements, no scan of the machine's processes.
TEST(Scale, PlacementCostDoesNotGrowWithPlacedProcesses)
{
    if (access("/usr/bin/strace", X_OK) != 0)
        GTEST_SKIP() << "strace is not installed";
    tu_cluster c = tu_cluster_make(8);
    std::vector<std::string> alone = placement_calls(c.dir);
    std::vector<pid_t> kids;
    for (int i = 0; i < 500; i++) {
        pid_t p = placed_child(i % 8);
        ASSERT_GT(p, 0);
        kids.push_back(p);
    }
    std::vector<std::string> crowded = placement_calls(c.dir);
    end_all(kids);
    EXPECT_FALSE(alone.empty());
    EXPECT_EQ(crowded, alone);
    tu_cluster_drop(c);
}

// Many vnsh at once on one cluster: every placement waits its turn, none
// fails for want of the lock.
TEST(Scale, ConcurrentVnshRunsNeverMissTheLock)
{
    std::string vnsh = tu_bin("vnsh");
    if (access(vnsh.c_str(), X_OK) != 0)
        GTEST_SKIP() << "no vnsh in this tree";
    tu_cluster c = tu_cluster_make(200);
    std::vector<pid_t> runs;
    for (int i = 0; i < 8; i++) {
        pid_t pid = fork();
        if (pid == 0) {
            int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(null, 1);
            execl(vnsh.c_str(), "vnsh", "-w", "all", "-i", "none", "true", (char *)nullptr);
            _exit(127);
        }
        runs.push_back(pid);
    }
    for (pid_t pid : runs) {
        int st;
        ASSERT_EQ(waitpid(pid, &st, 0), pid);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "status " << st;
    }
    size_t placed = 0;
    for (const auto &row : tu_journal()) {
        ASSERT_EQ(row.size(), 6u);
        EXPECT_EQ(row[5], "0") << row[2] << " " << row[3];
        placed += row[2] == "vorn_rexec_io";
    }
    EXPECT_EQ(placed, 8u * 200);
    tu_cluster_drop(c);
}

namespace
{

std::string cluster_path;
const uid_t other = 4242; // a second user besides nobody, without a name

int place_and_report(void *)
{
    pid_t kid = placed_child(1);
    if (kid <= 0)
        return 1;
    int node = vorn_pidnode(kid);
    kill(kid, SIGKILL);
    waitpid(kid, nullptr, 0);
    return node == 1 ? 0 : 2;
}

// nobody plants every name that user 4242's files once had, and the
// canonical name of the directory that holds them now.
int plant_for_other(void *)
{
    std::string users = cluster_path + "/users/";
    for (const char *name : {"lock.4242", "procs.4242", "journal.4242", "procs.4242.new"})
        tu_write_file(users + name, "");
    if (mkdir((users + "4242").c_str(), 0755) != 0)
        return 1;
    for (const char *name : {"/lock", "/journal"})
        tu_write_file(users + "4242" + name, "");
    return mkdir((users + "4242/placed").c_str(), 0777) == 0 ? 0 : 2;
}

int try_locks(void *)
{
    // Neither root's lock nor another user's may even be opened.
    for (std::string lock : {cluster_path + "/lock", cluster_path + "/users/4242/lock"})
        if (open(lock.c_str(), O_RDONLY) != -1 || errno != EACCES)
            return 1;
    return 0;
}

} // namespace

TEST(Users, PlantedNamesLockNoOneOut)
{
    tu_cluster c = tu_cluster_make(8, {"--boot-delay", "0", "--shared"});
    cluster_path = c.path;
    ASSERT_EQ(tu_as_nobody(plant_for_other, nullptr), 0);
    EXPECT_EQ(as_user(other, place_and_report, nullptr), 0);
    EXPECT_EQ(as_user(other, place_and_report, nullptr), 0);
    size_t lines = 0;
    for (const auto &row : tu_journal())
        lines += row[1] == "4242" && row[2] == "_vorn_rfork_io" && row[5] == "0";
    EXPECT_EQ(lines, 2u);
    // The cluster goes whole, each user's directory and records with it.
    tu_result r = tu_vornemu({"destroy"});
    EXPECT_EQ(r.status, 0) << r.err;
    tu_cluster_drop(c);
}

TEST(Users, NoOneCanHoldAnotherUsersLock)
{
    tu_cluster c = tu_cluster_make(8, {"--boot-delay", "0", "--shared"});
    cluster_path = c.path;
    ASSERT_EQ(as_user(other, place_and_report, nullptr), 0);
    EXPECT_EQ(tu_as_nobody(try_locks, nullptr), 0);
    tu_cluster_drop(c);
}

namespace
{

struct forged {
    pid_t pid; // a process of nobody's own, placed nowhere
};

// nobody records its own process on node 2 (down) and on node 3 (mode
// 0100, root's): nodes the library refuses it.
int forge_records(void *arg)
{
    const forged *f = (const forged *)arg;
    pid_t kid = placed_child(1); // makes our directory
    if (kid <= 0)
        return 1;
    end_all({kid});
    std::string stat = tu_read_file("/proc/" + std::to_string(f->pid) + "/stat");
    const char *p = strrchr(stat.c_str(), ')');
    for (int field = 2; p && field < 22; field++)
        p = strchr(p + 1, ' ');
    if (!p)
        return 2;
    std::string start = std::to_string(strtoull(p + 1, nullptr, 10));
    std::string rec = cluster_path + "/users/65534/placed/" + std::to_string(f->pid);
    if (symlink(("2 " + start).c_str(), rec.c_str()) != 0)
        return 3;
    if (vorn_pidnode(f->pid) != -1) // down: not believed
        return 4;
    unlink(rec.c_str());
    if (symlink(("3 " + start).c_str(), rec.c_str()) != 0)
        return 5;
    return vorn_pidnode(f->pid) == -1 ? 0 : 6; // closed: not believed
}

} // namespace

TEST(Users, RecordsTheLibraryWouldRefuseAreNotBelieved)
{
    tu_cluster c = tu_cluster_make(8, {"--boot-delay", "0", "--shared"});
    cluster_path = c.path;
    ASSERT_EQ(vorn_nodesetstatus(2, VORN_NODE_DOWN), 0);
    ASSERT_EQ(vorn_chmod(3, 0100), 0);
    pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) || setgid(65534) || setuid(65534))
            _exit(126);
        pause();
        _exit(0);
    }
    forged f = {pid};
    EXPECT_EQ(tu_as_nobody(forge_records, &f), 0);
    EXPECT_EQ(vorn_pidnode(pid), -1);
    EXPECT_EQ(tu_vornemu({"show"}).out.find(std::to_string(pid)), std::string::npos);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    tu_cluster_drop(c);
}

namespace
{

// nobody's own journal with a line drawn over another (CR, ESC), and
// journals planted under names that are not canonical or not nobody's.
int forge_journals(void *)
{
    pid_t kid = placed_child(1);
    if (kid <= 0)
        return 1;
    end_all({kid});
    std::string users = cluster_path + "/users/";
    std::string line = "1.000001\t65534\tvorn_chmod\t1\t511\t0\r\033[2K1.000002\t0\tx\t-\t-\t0\n";
    int fd = open((users + "65534/journal").c_str(), O_WRONLY | O_APPEND);
    if (fd < 0 || write(fd, line.data(), line.size()) != (ssize_t)line.size())
        return 2;
    close(fd);
    std::string fake = "1.000003\t65534\tvorn_chmod\t2\t511\t0\n";
    for (int i = 0; i < 100; i++) {
        std::string name = users + "0" + std::to_string(65534 + i * 100000);
        if (mkdir(name.c_str(), 0755) != 0)
            return 3;
        tu_write_file(name + "/journal", fake);
    }
    if (mkdir((users + "0").c_str(), 0755) != 0)
        return 4;
    tu_write_file(users + "0/journal", "1.000004\t0\tvorn_chmod\t3\t511\t0\n");
    return 0;
}

} // namespace

TEST(Users, LogShowsCanonicalJournalsWithControlBytesEscaped)
{
    tu_cluster c = tu_cluster_make(8, {"--boot-delay", "0", "--shared"});
    cluster_path = c.path;
    ASSERT_EQ(vorn_chmod(4, 0711), 0);
    ASSERT_EQ(as_user(other, place_and_report, nullptr), 0);
    ASSERT_EQ(tu_as_nobody(forge_journals, nullptr), 0);
    std::string log = tu_vornemu({"log"}).out;
    EXPECT_EQ(log.find('\r'), std::string::npos);
    EXPECT_EQ(log.find('\033'), std::string::npos);
    EXPECT_NE(log.find("\\x0d\\x1b[2K"), std::string::npos) << log;
    std::vector<std::string> who;
    for (const auto &row : tu_journal())
        who.push_back(row[1] + " " + row[2] + " " + row[3]);
    // Merged by time: nobody's forged line is older than its placement
    // but comes after it in its journal.
    EXPECT_EQ(who, (std::vector<std::string>{"0 vorn_chmod 4", "4242 _vorn_rfork_io 1",
                                             "65534 _vorn_rfork_io 1", "65534 vorn_chmod 1"}));
    tu_cluster_drop(c);
}

namespace
{

int foreign_default(void *)
{
    unsetenv("VORN_CLUSTER");
    errno = 0;
    if (vorn_numnodes() != -1)
        return 1;
    std::string want = "/tmp/vorn-cluster-4242 belongs to user nobody, not to you: set "
                       "VORN_CLUSTER to a cluster directory of your own";
    return want == vorn_strerror(errno) ? 0 : 2;
}

} // namespace

// nobody makes the directory that user 4242's cluster has by default.
TEST(Users, DefaultClusterOfSomeoneElseIsRefusedByName)
{
    std::string dflt = "/tmp/vorn-cluster-4242";
    if (access(dflt.c_str(), F_OK) == 0)
        GTEST_SKIP() << dflt << " exists";
    ASSERT_EQ(tu_as_nobody([](void *) { return mkdir("/tmp/vorn-cluster-4242", 0755); }, nullptr),
              0);
    EXPECT_EQ(as_user(other, foreign_default, nullptr), 0);
    rmdir(dflt.c_str());
}

// place_test.cc - placement on the emulated cluster: rexec, move, rfork,
// vrfork with file and socket records, failures, process tracking,
// notifier.
#include <vorn/vorn.h>

#include "testutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

struct PlaceTest : ::testing::Test {
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

struct io_redirect file_record(int fd, const std::string &name, int flags, long offset = 0)
{
    struct io_redirect r;
    memset(&r, 0, sizeof r);
    r.fd = fd;
    r.type = IO_FILE;
    r.d.file.open_flags = flags;
    r.d.file.open_mode = 0644;
    r.d.file.offset = offset;
    snprintf(r.d.file.name, sizeof r.d.file.name, "%s", name.c_str());
    return r;
}

struct io_redirect socket_record(int fd, int port, int header, const char *addr = "0.0.0.0")
{
    struct io_redirect r;
    memset(&r, 0, sizeof r);
    r.fd = fd;
    r.type = IO_SOCKET;
    r.send_header = header;
    r.d.addr.sin_family = AF_INET;
    r.d.addr.sin_port = htons(port);
    r.d.addr.sin_addr.s_addr = inet_addr(addr);
    return r;
}

// A listening socket on 127.0.0.1 and its port.
int listen_any(int *port)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a {
    };
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(s, (struct sockaddr *)&a, sizeof a) < 0 || listen(s, 8) < 0 ||
        getsockname(s, (struct sockaddr *)&a, &len) < 0)
        return -1;
    *port = ntohs(a.sin_port);
    return s;
}

std::string read_all(int fd)
{
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        out.append(buf, n);
    return out;
}

int wait_status(pid_t pid)
{
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

} // namespace

TEST_F(PlaceTest, RforkAppliesFileRecordsInOrder)
{
    std::string in = c.dir + "/in", out = c.dir + "/out";
    tu_write_file(in, "0123456789");
    struct io_redirect io[3] = {
        file_record(1, out, O_WRONLY | O_CREAT | O_TRUNC), file_record(5, in, O_RDONLY, 4),
        file_record(1, out + "2", O_WRONLY | O_CREAT | O_TRUNC), // later record wins
    };
    pid_t pid = _vorn_rfork_io(3, io, 3, DUMP_ALL);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        char buf[16] = {0};
        ssize_t n = read(5, buf, sizeof buf - 1);
        dprintf(1, "node %d read %zd %s", vorn_currnode(), n, buf);
        _exit(0);
    }
    // The child placed itself before the call returned.
    EXPECT_EQ(vorn_pidnode(pid), 3);
    EXPECT_EQ(wait_status(pid), 0);
    EXPECT_EQ(tu_read_file(out), "");
    EXPECT_EQ(tu_read_file(out + "2"), "node 3 read 6 456789");
    EXPECT_EQ(vorn_currnode(), -1); // the parent stays
    auto rows = tu_journal();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(std::vector<std::string>(rows[0].begin() + 2, rows[0].end()),
              (std::vector<std::string>{"_vorn_rfork_io", "3", "7", "0"}));
}

// A node halted after a placement's first check, while its records are
// still being applied, refuses the placement: the halt killed the node's
// processes already and would otherwise leave this one running on a down
// node.  The socket record tells us the child got past the check; the FIFO
// record holds it there until the node is down.
TEST_F(PlaceTest, NodeHaltedDuringPlacementRefusesIt)
{
    int port;
    int ls = listen_any(&port);
    ASSERT_GE(ls, 0);
    std::string fifo = c.dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    pid_t helper = fork();
    if (helper == 0) {
        close(report[0]);
        struct io_redirect io[2] = {socket_record(20, port, 1), file_record(21, fifo, O_WRONLY)};
        int rc = _vorn_rfork_io(3, io, 2, 0);
        if (rc == 0)
            _exit(0); // placed on a down node: the parent sees rc > 0
        int err = errno;
        dprintf(report[1], "%d %d", rc < 0 ? -1 : 1, rc < 0 ? err : 0);
        if (rc > 0)
            waitpid(rc, nullptr, 0);
        _exit(0);
    }
    close(report[1]);
    int s = accept(ls, nullptr, nullptr);
    ASSERT_GE(s, 0);
    int32_t hdr[2];
    ASSERT_EQ(recv(s, hdr, sizeof hdr, MSG_WAITALL), (ssize_t)sizeof hdr);
    ASSERT_EQ(vorn_nodehalt(3), 0);
    int r = open(fifo.c_str(), O_RDONLY); // lets the child go on
    ASSERT_GE(r, 0);
    std::string got = read_all(report[0]);
    close(report[0]);
    close(r);
    close(s);
    close(ls);
    EXPECT_EQ(wait_status(helper), 0);
    EXPECT_EQ(got, "-1 " + std::to_string(EHOSTDOWN));
    struct vorn_proc_info *list = nullptr;
    EXPECT_EQ(vorn_proclist(3, &list), 0);
    free(list);
}

TEST_F(PlaceTest, SocketRecordsConnectWithHeader)
{
    int port;
    int ls = listen_any(&port);
    ASSERT_GE(ls, 0);
    struct io_redirect io[2] = {socket_record(1, port, 1), socket_record(2, port, 0, "127.0.0.1")};
    pid_t pid = _vorn_rfork_io(1, io, 2, 0);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // Both connections exist before the call returns in the child.
        write(1, "out", 3);
        write(2, "err", 3);
        _exit(0);
    }
    int a = accept(ls, nullptr, nullptr), b = accept(ls, nullptr, nullptr);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    std::string first = read_all(a), second = read_all(b);
    EXPECT_EQ(wait_status(pid), 0);
    ASSERT_EQ(first.size(), 11u);
    int32_t hdr[2];
    memcpy(hdr, first.data(), 8);
    EXPECT_EQ(hdr[0], pid);
    EXPECT_EQ(hdr[1], 1);
    EXPECT_EQ(first.substr(8), "out");
    EXPECT_EQ(second, "err"); // no header asked for
    close(a);
    close(b);
    close(ls);
}

TEST_F(PlaceTest, RexecKeepsPidAndRunsOnNode)
{
    std::string out = c.dir + "/out";
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        struct io_redirect io = file_record(1, out, O_WRONLY | O_CREAT | O_TRUNC);
        // Through /dev/fd: sh takes only one digit after >&, and the pipe
        // lies above the cluster's descriptors.
        std::string script =
            "echo $$; sleep 5 & echo ready >/dev/fd/" + std::to_string(ready[1]) + "; wait";
        char *argv[] = {(char *)"sh", (char *)"-c", (char *)script.c_str(), nullptr};
        vorn_rexec_io(6, &io, 1, "/bin/sh", argv, nullptr);
        _exit(100 + errno);
    }
    close(ready[1]);
    char buf[8];
    ASSERT_GT(read(ready[0], buf, sizeof buf), 0);
    close(ready[0]);
    EXPECT_EQ(tu_read_file(out), std::to_string(pid) + "\n");
    EXPECT_EQ(vorn_pidnode(pid), 6);
    struct vorn_proc_info *list = nullptr;
    int n = vorn_proclist(6, &list);
    ASSERT_GE(n, 2); // the shell and its sleep
    bool found = false;
    for (int i = 0; i < n; i++) {
        found |= list[i].pid == pid;
        EXPECT_EQ(list[i].node, 6);
    }
    free(list);
    EXPECT_TRUE(found);
    ASSERT_EQ(vorn_proclist(5, &list), 0);
    free(list);
    // Reboot kills what runs on the node.
    ASSERT_EQ(vorn_nodereboot(6), 0);
    EXPECT_EQ(wait_status(pid), 128 + SIGKILL);
}

TEST_F(PlaceTest, FailedRexecLeavesTheCallerAlone)
{
    std::string out = c.dir + "/out", junk = c.dir + "/junk";
    tu_write_file(junk, "this is not a program\x01\x02");
    chmod(junk.c_str(), 0755);
    int closed_port;
    int ls = listen_any(&closed_port);
    close(ls); // nobody listens there any more
    struct {
        const char *what;
        std::vector<struct io_redirect> io;
        std::string path;
        int err;
    } cases[] = {
        {"connection refused",
         {file_record(1, out, O_WRONLY | O_CREAT), socket_record(40, closed_port, 1)},
         "/bin/true",
         ECONNREFUSED},
        {"missing file", {file_record(0, c.dir + "/none", O_RDONLY)}, "/bin/true", ENOENT},
        {"missing program", {file_record(1, out, O_WRONLY | O_CREAT)}, c.dir + "/none", ENOENT},
        {"not a program", {file_record(1, out, O_WRONLY | O_CREAT)}, junk, ENOEXEC},
        {"negative descriptor", {file_record(-1, out, O_WRONLY | O_CREAT)}, "/bin/true", EBADF},
        // Descriptors no process can have: refused before anything is
        // opened (the largest once overflowed the library's bound).
        {"largest descriptor", {file_record(INT_MAX, out, O_WRONLY | O_CREAT)}, "/bin/true", EBADF},
        {"descriptor at the limit",
         {file_record((int)sysconf(_SC_OPEN_MAX), out, O_WRONLY | O_CREAT)},
         "/bin/true",
         EBADF},
    };
    for (auto &t : cases) {
        int p[2];
        ASSERT_EQ(pipe(p), 0);
        pid_t pid = fork();
        if (pid == 0) {
            close(p[0]);
            dup2(p[1], 1);
            close(p[1]);
            close(40);
            char *argv[] = {(char *)"prog", nullptr};
            int rc = vorn_rexec_io(2, t.io.data(), (int)t.io.size(), t.path.c_str(), argv, nullptr);
            int err = errno;
            // fd 1 is still the pipe, fd 40 still closed, and we are
            // still on the master.
            dprintf(1, "%d %d %d %d", rc, err, fcntl(40, F_GETFD) == -1 && errno == EBADF,
                    vorn_currnode());
            _exit(0);
        }
        close(p[1]);
        std::string got = read_all(p[0]);
        close(p[0]);
        EXPECT_EQ(wait_status(pid), 0) << t.what;
        EXPECT_EQ(got, "-1 " + std::to_string(t.err) + " 1 -1") << t.what;
    }
    EXPECT_EQ(tu_read_file(out), ""); // nothing was written through records
    // One journal line per failed call, with its error.
    auto rows = tu_journal();
    ASSERT_EQ(rows.size(), 7u);
    std::vector<std::string> results;
    for (const auto &r : rows)
        results.push_back(r[2] + " " + r[5]);
    EXPECT_EQ(results, (std::vector<std::string>{"vorn_rexec_io ECONNREFUSED",
                                                 "vorn_rexec_io ENOENT", "vorn_rexec_io ENOENT",
                                                 "vorn_rexec_io ENOEXEC", "vorn_rexec_io EBADF",
                                                 "vorn_rexec_io EBADF", "vorn_rexec_io EBADF"}));
}

// Programs that execve itself would refuse (a script whose interpreter is
// missing, arguments beyond the kernel's limits) fail before anything is
// changed, with one journal line each, not a 0 line and then the error.
TEST_F(PlaceTest, ExecRefusalsAreJournaledOnce)
{
    std::string script = c.dir + "/script", dir_interp = c.dir + "/dirscript";
    tu_write_file(script, "#!/nonexistent/interpreter -x\necho hi\n");
    tu_write_file(dir_interp, "#! /tmp\n");
    chmod(script.c_str(), 0755);
    chmod(dir_interp.c_str(), 0755);
    std::string big(200000, 'a');
    std::string many(100000, 'b');
    std::vector<std::string> crowd(40, many); // 4 MB together
    struct {
        const char *what;
        std::string path;
        std::vector<std::string> args;
        int err;
    } cases[] = {
        {"missing interpreter", script, {"script"}, ENOENT},
        {"directory as interpreter", dir_interp, {"dirscript"}, EACCES},
        {"one argument too long", "/bin/true", {"true", big}, E2BIG},
        {"arguments too long together", "/bin/true", crowd, E2BIG},
    };
    for (auto &t : cases) {
        pid_t pid = fork();
        if (pid == 0) {
            std::vector<char *> argv;
            for (auto &a : t.args)
                argv.push_back((char *)a.c_str());
            argv.push_back(nullptr);
            int rc = vorn_rexec_io(2, nullptr, -1, t.path.c_str(), argv.data(), nullptr);
            _exit(rc == -1 && errno == t.err ? 0 : 1);
        }
        EXPECT_EQ(wait_status(pid), 0) << t.what;
    }
    auto rows = tu_journal();
    std::vector<std::string> results;
    for (const auto &r : rows)
        results.push_back(r[2] + " " + r[5]);
    EXPECT_EQ(results, (std::vector<std::string>{"vorn_rexec_io ENOENT", "vorn_rexec_io EACCES",
                                                 "vorn_rexec_io E2BIG", "vorn_rexec_io E2BIG"}));
    // A script with its interpreter still runs.
    tu_write_file(script, "#!/bin/sh\nexit 7\n");
    pid_t pid = fork();
    if (pid == 0) {
        char *argv[] = {(char *)"script", nullptr};
        vorn_rexec_io(2, nullptr, -1, script.c_str(), argv, nullptr);
        _exit(1);
    }
    EXPECT_EQ(wait_status(pid), 7);
}

// With every low descriptor taken, a failed exec still puts back what the
// records replaced and closes what they opened.
TEST_F(PlaceTest, FailedRexecRestoresCrowdedDescriptors)
{
    std::string a = c.dir + "/a", b = c.dir + "/b", elf = c.dir + "/elf";
    // ELF by its magic, but nothing the kernel can load: execve itself
    // fails (ENOEXEC), after every check and with the records in place.
    tu_write_file(elf, std::string("\177ELF") + std::string(60, '\0'));
    chmod(elf.c_str(), 0755);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    pid_t pid = fork();
    if (pid == 0) {
        close(p[0]);
        vorn_numnodes(); // the cluster is open before the crowding
        dup2(p[1], 41);
        close(p[1]);
        for (int fd = 3; fd < 40; fd++)
            if (fcntl(fd, F_GETFD) < 0)
                dup2(0, fd);
        close(40);
        struct io_redirect io[2] = {file_record(41, a, O_WRONLY | O_CREAT),
                                    file_record(40, b, O_WRONLY | O_CREAT)};
        char *argv[] = {(char *)"elf", nullptr};
        int rc = vorn_rexec_io(1, io, 2, elf.c_str(), argv, nullptr);
        int err = errno;
        dprintf(41, "%d %d %d %d", rc, err, fcntl(40, F_GETFD) == -1, vorn_currnode());
        _exit(0);
    }
    close(p[1]);
    std::string got = read_all(p[0]);
    close(p[0]);
    EXPECT_EQ(wait_status(pid), 0);
    EXPECT_EQ(got, "-1 " + std::to_string(ENOEXEC) + " 1 -1");
    EXPECT_EQ(tu_read_file(a), "");
    // The line written before the exec, then the error.
    auto rows = tu_journal();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][5], "0");
    EXPECT_EQ(rows[1][5], "ENOEXEC");
}

TEST_F(PlaceTest, PlacementIsRefusedWhereTheNodeSaysSo)
{
    ASSERT_EQ(vorn_nodesetstatus(4, VORN_NODE_DOWN), 0);
    ASSERT_EQ(vorn_nodesetstatus(5, VORN_NODE_UNAVAILABLE), 0);
    const struct {
        int node;
        int err;
    } cases[] = {{4, EHOSTDOWN}, {5, EHOSTDOWN}, {8, EINVAL}, {-5, EINVAL}};
    for (const auto &t : cases) {
        errno = 0;
        EXPECT_EQ(_vorn_rfork_io(t.node, nullptr, -1, 0), -1) << t.node;
        EXPECT_EQ(errno, t.err) << t.node;
        errno = 0;
        EXPECT_EQ(_vorn_move_io(t.node, nullptr, -1, 0), -1) << t.node;
        EXPECT_EQ(errno, t.err) << t.node;
        char *argv[] = {(char *)"true", nullptr};
        EXPECT_EQ(vorn_execmove_io(t.node, nullptr, -1, "/bin/true", argv, nullptr), -1);
        EXPECT_EQ(errno, t.err) << t.node;
    }
    int bad = 1;
    EXPECT_EQ(_vorn_rfork_io(1, nullptr, -2, 0), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(_vorn_vrfork_io(&bad, -1, nullptr, -1, 0), -1);
    EXPECT_EQ(errno, EINVAL);
    auto rows = tu_journal();
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows.back()[2], "_vorn_vrfork_io");
    EXPECT_EQ(rows.back()[5], "EINVAL");
}

TEST(PlaceUsers, NobodyNeedsTheExecuteBit)
{
    tu_cluster c = tu_cluster_make(8, {"--boot-delay", "0", "--shared"});
    ASSERT_EQ(vorn_chmod(2, 0110), 0);
    EXPECT_EQ(tu_as_nobody(
                  [](void *) -> int {
                      errno = 0;
                      if (_vorn_rfork_io(2, nullptr, -1, 0) != -1 || errno != EACCES)
                          return 1;
                      pid_t pid = _vorn_rfork_io(3, nullptr, -1, 0);
                      if (pid == 0)
                          _exit(vorn_currnode() == 3 ? 0 : 1);
                      if (pid < 0)
                          return 2;
                      return wait_status(pid) == 0 ? 0 : 3;
                  },
                  nullptr),
              0);
    tu_cluster_drop(c);
}

TEST_F(PlaceTest, MoveAndDescendantsInherit)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (_vorn_move_io(4, nullptr, -1, 0) != 0)
            _exit(1);
        if (vorn_currnode() != 4)
            _exit(2);
        pid_t g = fork();
        if (g == 0)
            _exit(vorn_currnode() == 4 ? 0 : 1);
        if (wait_status(g) != 0)
            _exit(3);
        if (_vorn_move_io(-1, nullptr, -1, 0) != 0 || vorn_currnode() != -1)
            _exit(4);
        _exit(0);
    }
    EXPECT_EQ(wait_status(pid), 0);
}

TEST_F(PlaceTest, VrforkMakesOneChildPerNode)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    int nodes[] = {1, 3, 3, 7};
    int rc = _vorn_vrfork_io(nodes, 4, nullptr, -1, 0);
    if (rc >= 0 && rc < 4 && vorn_currnode() != -1) {
        close(p[0]);
        dprintf(p[1], "%d:%d\n", rc, vorn_currnode());
        _exit(0);
    }
    close(p[1]);
    ASSERT_EQ(rc, 4);
    std::string got = read_all(p[0]);
    close(p[0]);
    while (wait(nullptr) > 0) {
    }
    std::vector<std::string> lines;
    for (size_t pos = 0, nl; (nl = got.find('\n', pos)) != std::string::npos; pos = nl + 1)
        lines.push_back(got.substr(pos, nl - pos));
    std::sort(lines.begin(), lines.end()); // the children run in any order
    EXPECT_EQ(lines, (std::vector<std::string>{"0:1", "1:3", "2:3", "3:7"}));
    // Nothing for an empty vector; all or nothing when a node is down.
    EXPECT_EQ(_vorn_vrfork_io(nodes, 0, nullptr, -1, 0), 0);
    ASSERT_EQ(vorn_nodehalt(7), 0);
    EXPECT_EQ(_vorn_vrfork_io(nodes, 4, nullptr, -1, 0), -1);
    EXPECT_EQ(errno, EHOSTDOWN);
    EXPECT_EQ(wait(nullptr), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST_F(PlaceTest, RecycledPidIsNotOnTheOldNode)
{
    pid_t first = _vorn_rfork_io(5, nullptr, -1, 0);
    if (first == 0)
        _exit(0);
    ASSERT_GT(first, 0);
    EXPECT_EQ(wait_status(first), 0);
    EXPECT_EQ(vorn_pidnode(first), -1);
    EXPECT_EQ(errno, ESRCH);
    // Start times count clock ticks: a pid reused within the same tick
    // cannot be told apart.
    usleep(50000);
    // Make the next process reuse the pid (root only; other processes of
    // the machine may race us, so try a few times).
    pid_t again = -1;
    for (int attempt = 0; attempt < 20 && again != first; attempt++) {
        FILE *f = fopen("/proc/sys/kernel/ns_last_pid", "w");
        if (!f)
            GTEST_SKIP() << "cannot steer pid allocation";
        fprintf(f, "%d", first - 1);
        fclose(f);
        int p[2];
        ASSERT_EQ(pipe(p), 0);
        again = fork();
        if (again == 0) {
            close(p[1]);
            char b;
            read(p[0], &b, 1);
            _exit(0);
        }
        close(p[0]);
        if (again == first) {
            EXPECT_EQ(vorn_pidnode(again), -1);
        }
        close(p[1]);
        wait_status(again);
    }
    if (again != first)
        GTEST_SKIP() << "pid was not reused";
}

TEST_F(PlaceTest, NotifierDeliversNewJournalLines)
{
    int fd = vorn_notifier();
    ASSERT_GE(fd, 0);
    ASSERT_EQ(vorn_chmod(2, 0700), 0);
    ASSERT_EQ(vorn_libadd("libm.so.6"), 0);
    std::string got;
    while (got.find("vorn_libadd") == std::string::npos) {
        struct pollfd p = {fd, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 5000), 1) << got;
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        ASSERT_GT(n, 0);
        got.append(buf, n);
    }
    EXPECT_NE(got.find("\tvorn_chmod\t2\t448\t0\n"), std::string::npos) << got;
    close(fd);
    // Nothing that happened before the notifier was made.
    fd = vorn_notifier();
    ASSERT_GE(fd, 0);
    struct pollfd p = {fd, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 300), 0);
    close(fd);
}

namespace
{

// The highest descriptor this process holds open on something under dir
// (-1: none).
int top_fd_under(const std::string &dir)
{
    int top = -1;
    for (int fd = 0; fd < 1024; fd++) {
        char link[64], target[4096];
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        ssize_t n = readlink(link, target, sizeof target - 1);
        if (n > 0 && std::string(target, n).compare(0, dir.size() + 1, dir + "/") == 0)
            top = fd;
    }
    return top;
}

// What descriptors lo..hi name, one line each, then the node we are on and
// whether the library still answers and still changes the cluster.
std::string fd_report(int lo, int hi, int node)
{
    std::string out;
    for (int fd = lo; fd <= hi; fd++) {
        char link[64], target[4096];
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        ssize_t n = readlink(link, target, sizeof target - 1);
        out += (n > 0 ? std::string(target, n) : "closed") + "\n";
    }
    out += "node " + std::to_string(vorn_currnode()) + " up " +
           std::to_string(vorn_nodestatus(node) == VORN_NODE_UP) + " chmod " +
           std::to_string(vorn_chmod(node, 0111)) + "\n";
    return out;
}

} // namespace

// Records may name any descriptor, the ones the library itself holds open
// on the cluster included: every record's descriptor ends as the record
// says, and the library goes on working for the placed process.
TEST_F(PlaceTest, RecordsOverTheLibrarysOwnDescriptors)
{
    enum Call { MOVE, RFORK, VRFORK, REXEC, EXECMOVE };
    const struct {
        const char *name;
        Call call;
    } cases[] = {{"move", MOVE},
                 {"rfork", RFORK},
                 {"vrfork", VRFORK},
                 {"rexec", REXEC},
                 {"execmove", EXECMOVE}};
    const int node = 5;
    for (const auto &t : cases) {
        std::string dir = c.dir + "/" + t.name;
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        std::string report = dir + "/report";
        pid_t pid = fork();
        if (pid == 0) {
            vorn_numnodes(); // the cluster is open before the records come
            int hi = top_fd_under(c.path) + 2;
            if (hi < 5)
                _exit(90);
            // Where each descriptor 3..hi should end, for the report.
            std::string want;
            std::vector<struct io_redirect> io;
            for (int fd = 3; fd <= hi; fd++) {
                std::string name = dir + "/fd" + std::to_string(fd);
                io.push_back(file_record(fd, name, O_WRONLY | O_CREAT | O_TRUNC));
                want += name + "\n";
            }
            tu_write_file(dir + "/want", want);
            int n = (int)io.size();
            if (t.call == REXEC || t.call == EXECMOVE) {
                // The new program names its descriptors on fd 1.
                io.push_back(file_record(1, report, O_WRONLY | O_CREAT | O_TRUNC));
                std::vector<std::string> args = {"readlink"};
                for (int fd = 3; fd <= hi; fd++)
                    args.push_back("/proc/self/fd/" + std::to_string(fd));
                std::string script = "exec";
                for (const auto &a : args)
                    script += " " + a;
                char *argv[] = {(char *)"sh", (char *)"-c", (char *)script.c_str(), nullptr};
                if (t.call == REXEC)
                    vorn_rexec_io(node, io.data(), n + 1, "/bin/sh", argv, nullptr);
                else
                    vorn_execmove_io(node, io.data(), n + 1, "/bin/sh", argv, nullptr);
                _exit(100 + errno);
            }
            pid_t self = getpid(), child = -1;
            int rc = -1;
            if (t.call == MOVE) {
                rc = _vorn_move_io(node, io.data(), n, 0);
            } else if (t.call == RFORK) {
                rc = child = _vorn_rfork_io(node, io.data(), n, 0);
            } else {
                int nodes[] = {node};
                rc = _vorn_vrfork_io(nodes, 1, io.data(), n, 0);
                if (rc == 1 && getpid() == self)
                    child = 1; // the caller: wait for the child below
            }
            if (rc < 0)
                _exit(100 + errno);
            if (child > 0)
                _exit(wait_status(-1) == 0 ? 0 : 91);
            std::string got = fd_report(3, hi, node);
            tu_write_file(report, got);
            _exit(0);
        }
        ASSERT_EQ(wait_status(pid), 0) << t.name;
        std::string want = tu_read_file(dir + "/want");
        if (t.call != REXEC && t.call != EXECMOVE)
            want += "node 5 up 1 chmod 0\n";
        EXPECT_EQ(tu_read_file(report), want) << t.name;
    }
    // One line per placement and per mode change, all successful (a forked
    // child's change may come before its parent's line).
    std::vector<std::string> calls;
    for (const auto &r : tu_journal())
        calls.push_back(r[2] + " " + r[5]);
    std::sort(calls.begin(), calls.end());
    EXPECT_EQ(calls, (std::vector<std::string>{
                         "_vorn_move_io 0", "_vorn_rfork_io 0", "_vorn_vrfork_io 0", "vorn_chmod 0",
                         "vorn_chmod 0", "vorn_chmod 0", "vorn_execmove_io 0", "vorn_rexec_io 0"}));
}

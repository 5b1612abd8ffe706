// entry_test.cc - the four entry points end to end through the emulated
// cluster: forwarded runs, the local short-cut, failing library calls, and
// the records and listening socket that the library is handed.
#include "vnsh_io_internal.h"

#include <testutil.h>
#include <vorn/vnsh_io.h>
#include <vorn/vorn.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace
{

class Entry : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        cluster = tu_cluster_make(8);
    }
    void TearDown() override
    {
        tu_cluster_drop(cluster);
    }
    tu_cluster cluster;
};

std::string driver()
{
    return tu_bin("vnsh_driver");
}
// A driver command that places a program: the call's words, then the
// program's (with the emulator in front where i386 programs run that way).
std::vector<std::string> placing(std::vector<std::string> call,
                                 const std::vector<std::string> &program)
{
    std::vector<std::string> cmd = tu_command(program);
    call.insert(call.end(), cmd.begin(), cmd.end());
    return call;
}
std::string flags_arg(int flags)
{
    return std::to_string(flags);
}

std::vector<std::string> sorted_lines(const std::string &s)
{
    std::vector<std::string> v;
    std::istringstream in(s);
    std::string line;
    while (std::getline(in, line))
        v.push_back(line);
    std::sort(v.begin(), v.end());
    return v;
}

// The last journal line of a function.
std::vector<std::string> last_call(const std::string &fn)
{
    std::vector<std::string> found;
    for (const std::vector<std::string> &row : tu_journal())
        if (row.size() >= 6 && row[2] == fn)
            found = row;
    return found;
}

const char *SHELL_SCRIPT = "echo out; echo err >&2; read x; echo \"got $x\"";

struct exec_case {
    const char *mode;
    const char *fn;
    int node;
    int flags;
    std::string out;
    std::string err;
};

TEST_F(Entry, ProgramsRunWithTheirStreamsForwarded)
{
    const int LP = VNSH_LINEBUF | VNSH_PREFIX;
    const exec_case cases[] = {
        {"rexec", "vorn_rexec_io", 3, LP, "  3: out\n  3: got hello\n", "  3: err\n"},
        {"rexec", "vorn_rexec_io", 0, 0, "out\ngot hello\n", "err\n"},
        {"rexec", "vorn_rexec_io", 7, VNSH_LINEBUF, "out\ngot hello\n", "err\n"},
        {"execmove", "vorn_execmove_io", 5, LP, "  5: out\n  5: got hello\n", "  5: err\n"},
        {"execmove", "vorn_execmove_io", 1, VNSH_PREFIX, "out\ngot hello\n", "err\n"},
    };
    for (const exec_case &c : cases) {
        SCOPED_TRACE(std::string(c.mode) + " node " + std::to_string(c.node));
        tu_result r = tu_run({driver(), c.mode, std::to_string(c.node), flags_arg(c.flags),
                              "/bin/sh", "-c", SHELL_SCRIPT},
                             "hello\n");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        std::vector<std::string> row = last_call(c.fn);
        ASSERT_EQ(row.size(), 6u);
        EXPECT_EQ(row[3], std::to_string(c.node));
        EXPECT_EQ(row[4], "/bin/sh");
        EXPECT_EQ(row[5], "0");
    }
}

TEST_F(Entry, PlacedProcessHasItsDescriptorsConnectedBack)
{
    // The records name descriptors 0, 1, 2 as sockets to address 0 (this
    // machine) and the listener's port; each connection comes from the
    // node's address and sent its header, or the listener would not have
    // forwarded it.
    tu_result r =
        tu_run(placing({driver(), "rexec", "2", flags_arg(VNSH_LINEBUF)}, {driver(), "peers"}));
    EXPECT_EQ(r.status, 0);
    std::istringstream in(r.out);
    std::string line;
    std::vector<int> ports;
    for (int fd = 0; fd < 3; fd++) {
        ASSERT_TRUE(std::getline(in, line));
        char addr[64], from[64];
        int got_fd, port;
        ASSERT_EQ(sscanf(line.c_str(), "fd %d: %63s port %d from %63s", &got_fd, addr, &port, from),
                  4)
            << line;
        EXPECT_EQ(got_fd, fd);
        EXPECT_STREQ(addr, "127.0.0.1");
        EXPECT_STREQ(from, "127.1.0.3"); // node 2's own address
        ports.push_back(port);
    }
    EXPECT_GT(ports[0], 0);
    EXPECT_EQ(ports[1], ports[0]);
    EXPECT_EQ(ports[2], ports[0]);
    // The placed process kept the caller's pid: the listener is its child.
    ASSERT_TRUE(std::getline(in, line));
    EXPECT_EQ(line, "node 2 children running");
}

TEST_F(Entry, MoveForwardsTheCallersStreams)
{
    const int LP = VNSH_LINEBUF | VNSH_PREFIX;
    tu_result r = tu_run({driver(), "move", "6", flags_arg(LP)}, "one\ntwo\n");
    EXPECT_EQ(r.status, 0);
    // The listener stays on the calling node as a child of the moved process.
    EXPECT_EQ(r.out, "  6: moved on node 6, children running\n  6: moved got one\n"
                     "  6: moved got two\n");
    EXPECT_EQ(r.err, "  6: moved error\n");
    std::vector<std::string> row = last_call("_vorn_move_io");
    ASSERT_EQ(row.size(), 6u);
    EXPECT_EQ(row[3], "6");
    EXPECT_EQ(row[4], "7"); // the migration flags, unchanged
    EXPECT_EQ(row[5], "0");
}

TEST_F(Entry, RforkForwardsTheChildsStreams)
{
    const int LP = VNSH_LINEBUF | VNSH_PREFIX;
    tu_result r = tu_run({driver(), "rfork", "4", flags_arg(LP)}, "in\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(sorted_lines(r.out),
              (std::vector<std::string>{"  4: child got in", "  4: child on node 4, children none",
                                        "parent on node -1, child exited 0"}));
    EXPECT_EQ(r.err, "  4: child error\n");
    std::vector<std::string> row = last_call("_vorn_rfork_io");
    ASSERT_EQ(row.size(), 6u);
    EXPECT_EQ(row[3], "4");
    EXPECT_EQ(row[5], "0");
}

TEST_F(Entry, TargetIsTheCurrentNodeTakesNoDetour)
{
    const int LP = VNSH_LINEBUF | VNSH_PREFIX;
    // The test process runs on the master: plain execve, fork, or nothing.
    tu_result r = tu_run(placing({driver(), "rexec", "-1", flags_arg(LP)}, {driver(), "peers"}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "fd 0: not a socket\nfd 1: not a socket\nfd 2: not a socket\n"
                     "node -1 children none\n");
    r = tu_run({driver(), "execmove", "-1", flags_arg(LP), "/bin/sh", "-c", "echo plain"});
    EXPECT_EQ(r.out, "plain\n");
    r = tu_run({driver(), "move", "-1", flags_arg(LP)}, "x\n");
    EXPECT_EQ(r.out, "moved on node -1, children none\nmoved got x\n");
    EXPECT_EQ(r.err, "moved error\n");
    r = tu_run({driver(), "rfork", "-1", flags_arg(LP)}, "y\n");
    EXPECT_EQ(r.out, "child on node -1, children none\nchild got y\n"
                     "parent on node -1, child exited 0\n");
    // None of them reached the placement calls.
    for (const char *fn : {"vorn_rexec_io", "vorn_execmove_io", "_vorn_move_io", "_vorn_rfork_io"})
        EXPECT_TRUE(last_call(fn).empty()) << fn;

    // And the prefix node stays as it was.
    int here = vorn_currnode();
    nodenum = 77;
    EXPECT_EQ(_vnsh_move(here, LP, 0), 0);
    pid_t pid = _vnsh_rfork(here, LP, 0);
    if (pid == 0)
        _exit(0);
    ASSERT_GT(pid, 0);
    waitpid(pid, nullptr, 0);
    char arg0[] = "nonexistent";
    char *argv[] = {arg0, nullptr};
    EXPECT_EQ(vnsh_rexec(here, "/nonexistent", argv, argv + 1, LP), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(nodenum, 77);
}

struct failure_case {
    const char *what;
    std::vector<std::string> fault; // vornemu fail arguments; empty: node 4 is down
    std::vector<std::string> args;  // driver arguments
    std::string err;
};

TEST_F(Entry, FailingPlacementLeavesNoListener)
{
    const std::string tail = "children: none\nsockets: 0\n";
    const std::string sh = "/bin/sh";
    const failure_case cases[] = {
        {"rexec fault",
         {"vorn_rexec_io", "3", "EIO"},
         {"rexec", "3", "24", sh, "-c", "echo no"},
         "vnsh_rexec: Input/output error\n" + tail},
        {"execmove fault",
         {"vorn_execmove_io", "any", "ENOMEM"},
         {"execmove", "2", "0", sh, "-c", "echo no"},
         "vnsh_execmove: Cannot allocate memory\n" + tail},
        {"move to a down node", {}, {"move", "4", "24"}, "_vnsh_move: Host is down\n" + tail},
        {"rfork fault",
         {"_vorn_rfork_io", "5", "EPERM"},
         {"rfork", "5", "24"},
         "_vnsh_rfork: Operation not permitted\n" + tail},
        {"rexec of a missing program",
         {},
         {"rexec", "1", "24", "/nonexistent/program"},
         "vnsh_rexec: No such file or directory\n" + tail},
    };
    ASSERT_EQ(vorn_nodesetstatus(4, VORN_NODE_DOWN), 0);
    for (const failure_case &c : cases) {
        SCOPED_TRACE(c.what);
        tu_vornemu({"heal"});
        if (!c.fault.empty()) {
            std::vector<std::string> a{"fail"};
            a.insert(a.end(), c.fault.begin(), c.fault.end());
            ASSERT_EQ(tu_vornemu(a).status, 0);
        }
        std::vector<std::string> argv{driver()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        tu_result r = tu_run(argv, "input\n");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
    }
}

TEST_F(Entry, ListeningSocketAndRecords)
{
    struct io_redirect io[3];
    memset(io, 0xa5, sizeof io);
    int lsock = -1;
    ASSERT_EQ(setup_io(&lsock, io), 0);
    struct sockaddr_in bound;
    socklen_t len = sizeof bound;
    ASSERT_EQ(getsockname(lsock, (struct sockaddr *)&bound, &len), 0);
    EXPECT_EQ(bound.sin_addr.s_addr, htonl(INADDR_ANY));
    EXPECT_NE(bound.sin_port, 0);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(io[i].fd, i);
        EXPECT_EQ(io[i].type, (unsigned)IO_SOCKET);
        EXPECT_EQ(io[i].send_header, 1u);
        EXPECT_EQ(io[i].d.addr.sin_family, AF_INET);
        EXPECT_EQ(io[i].d.addr.sin_addr.s_addr, 0u);
        EXPECT_EQ(io[i].d.addr.sin_port, bound.sin_port);
    }
    EXPECT_EQ(sizeof io, sizeof(void *) == 8 ? 840u : 828u);
    EXPECT_TRUE(fcntl(lsock, F_GETFL) & O_NONBLOCK);
    EXPECT_TRUE(fcntl(lsock, F_GETFD) & FD_CLOEXEC);
    int listening = 0;
    len = sizeof listening;
    ASSERT_EQ(getsockopt(lsock, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len), 0);
    EXPECT_EQ(listening, 1);
    int type = 0;
    len = sizeof type;
    ASSERT_EQ(getsockopt(lsock, SOL_SOCKET, SO_TYPE, &type, &len), 0);
    EXPECT_EQ(type, SOCK_STREAM);
    // ss shows a listening socket's backlog as its send queue.
    if (access("/usr/bin/ss", X_OK) == 0) {
        std::string filter = "sport = :" + std::to_string(ntohs(bound.sin_port));
        tu_result ss = tu_run({"/usr/bin/ss", "-Hltn", filter});
        std::istringstream row(ss.out);
        std::string state, recvq, sendq;
        row >> state >> recvq >> sendq;
        EXPECT_EQ(state, "LISTEN") << ss.out;
        EXPECT_EQ(sendq, "1024") << ss.out;
    }
    close(lsock);
}

long now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

// A driver run that the test watches as it goes: in its own process group,
// its 0, 1 and 2 pipes whose other ends the test holds.
struct watched {
    pid_t pid = -1;
    int in = -1, out = -1, err = -1;
};

watched watched_start(const std::vector<std::string> &args,
                      const std::vector<std::string> &env = {}, bool out_nonblock = false)
{
    int in[2], out[2], err[2];
    EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
    if (out_nonblock) // as another process sharing the pipe could leave it
        fcntl(out[1], F_SETFL, fcntl(out[1], F_GETFL) | O_NONBLOCK);
    watched w;
    w.pid = fork();
    if (w.pid == 0) {
        setpgid(0, 0);
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        signal(SIGPIPE, SIG_DFL);
        for (const std::string &e : env)
            putenv(strdup(e.c_str()));
        std::vector<std::string> cmd{driver()};
        cmd.insert(cmd.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (const std::string &a : tu_command(cmd))
            argv.push_back(strdup(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    setpgid(w.pid, w.pid);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    w.in = in[1];
    w.out = out[0];
    w.err = err[0];
    return w;
}

// Reads fd until EOF (true), or until timeout_ms have passed (false).
bool read_to_eof(int fd, std::string *got, int timeout_ms = 30000)
{
    long end = now_ms() + timeout_ms;
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        long left = end - now_ms();
        if (left <= 0 || poll(&p, 1, (int)left) != 1)
            return false;
        char buf[65536];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return true;
        got->append(buf, n);
    }
}

// Waits for the watched driver to end; -1 when it has not within timeout_ms.
int watched_wait(watched &w, int timeout_ms = 30000)
{
    for (long end = now_ms() + timeout_ms; now_ms() < end; usleep(2000)) {
        int st;
        if (waitpid(w.pid, &st, WNOHANG) == w.pid)
            return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    return -1;
}

void watched_stop(watched &w)
{
    kill(-w.pid, SIGKILL);
    waitpid(w.pid, nullptr, WNOHANG);
    for (int fd : {w.in, w.out, w.err})
        if (fd >= 0)
            close(fd);
}

TEST_F(Entry, ManyOpenDescriptorsInTheCaller)
{
    // Descriptors up to 1,100 open in the caller: all three streams still
    // go, and the listener keeps none of them.
    const std::vector<std::string> env{"DRIVER_OPEN=1100"};
    tu_result r = tu_run({driver(), "rexec", "3", flags_arg(VNSH_LINEBUF | VNSH_PREFIX), "/bin/sh",
                          "-c", SHELL_SCRIPT},
                         "hello\n", env);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "  3: out\n  3: got hello\n");
    EXPECT_EQ(r.err, "  3: err\n");
    r = tu_run(placing({driver(), "rexec", "3", "0"}, {driver(), "listener-fds"}), "", env);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "listener descriptors other than 0, 1, 2 and sockets: 0\n");
}

TEST_F(Entry, NonBlockingOutputLosesNoLine)
{
    for (int flags : {VNSH_LINEBUF, 0}) {
        SCOPED_TRACE(flags);
        watched w =
            watched_start({"rexec", "2", flags_arg(flags), "/usr/bin/seq", "100000"}, {}, true);
        close(w.in);
        w.in = -1;
        // Let the pipe fill up before reading, so that the listener meets a
        // full pipe.
        int queued = 0;
        for (long end = now_ms() + 30000; now_ms() < end && queued < 65536 - 4096; usleep(1000))
            ioctl(w.out, FIONREAD, &queued);
        EXPECT_GE(queued, 65536 - 4096);
        std::string out, err;
        EXPECT_TRUE(read_to_eof(w.out, &out));
        EXPECT_TRUE(read_to_eof(w.err, &err));
        EXPECT_EQ(watched_wait(w), 0);
        std::string expected;
        for (int i = 1; i <= 100000; i++)
            expected += std::to_string(i) + "\n";
        EXPECT_EQ(out.size(), expected.size());
        EXPECT_TRUE(out == expected);
        EXPECT_EQ(err, "");
        watched_stop(w);
    }
}

TEST_F(Entry, ReaderThatExitsEndsTheRun)
{
    // yes | head -1: the listener's write fails, yes finds its output
    // closed as it would with a pipe, and everything ends; also with
    // SIGPIPE ignored by the caller (as a Python parent leaves it).
    struct reader_case {
        int flags;
        const char *sigpipe;
        int status;
        std::string err;
    };
    const std::string broken = "/usr/bin/yes: standard output: Broken pipe\n";
    const reader_case cases[] = {
        {0, "DRIVER_SIGPIPE=default", 128 + SIGPIPE, ""},
        {VNSH_LINEBUF | VNSH_PREFIX, "DRIVER_SIGPIPE=default", 128 + SIGPIPE, ""},
        {0, "DRIVER_SIGPIPE=ignore", 1, broken},
        {VNSH_LINEBUF | VNSH_PREFIX, "DRIVER_SIGPIPE=ignore", 1, "  1: " + broken},
    };
    for (const reader_case &c : cases) {
        SCOPED_TRACE(std::string(c.sigpipe) + " flags " + std::to_string(c.flags));
        watched w = watched_start({"rexec", "1", flags_arg(c.flags), "/usr/bin/yes"}, {c.sigpipe});
        char got[8] = {0};
        EXPECT_GT(read(w.out, got, sizeof got - 1), 0);
        EXPECT_TRUE(got[0] == 'y' || got[0] == ' ') << got;
        close(w.out);
        w.out = -1;
        std::string err;
        EXPECT_TRUE(read_to_eof(w.err, &err)); // the listener has ended too
        EXPECT_EQ(err, c.err);
        EXPECT_EQ(watched_wait(w), c.status);
        watched_stop(w);
    }
}

TEST_F(Entry, InterruptedProgramsLastWordsArrive)
{
    watched w = watched_start(
        placing({"rexec", "2", flags_arg(VNSH_LINEBUF | VNSH_PREFIX)}, {driver(), "interrupted"}));
    char ready[16] = {0};
    EXPECT_EQ(read(w.out, ready, sizeof ready - 1), 11);
    EXPECT_STREQ(ready, "  2: ready\n");
    kill(-w.pid, SIGINT); // Ctrl-C at the terminal: the whole process group
    std::string out;
    EXPECT_TRUE(read_to_eof(w.out, &out));
    EXPECT_EQ(out, "  2: interrupted\n");
    EXPECT_EQ(watched_wait(w), 3);
    watched_stop(w);
}

TEST_F(Entry, FailedPlacementEndsTheListenerWhateverTheCallersHangup)
{
    ASSERT_EQ(tu_vornemu({"fail", "vorn_rexec_io", "3", "EIO"}).status, 0);
    for (const char *hup : {"ignore", "handle", "block"}) {
        SCOPED_TRACE(hup);
        watched w = watched_start({"rexec", "3", "24", "/bin/sh", "-c", "echo no"},
                                  {std::string("DRIVER_SIGHUP=") + hup});
        std::string err;
        // A listener left waiting for its quiet period would hold the pipe.
        EXPECT_TRUE(read_to_eof(w.err, &err, 10000));
        EXPECT_EQ(err, "vnsh_rexec: Input/output error\nchildren: none\nsockets: 0\n");
        EXPECT_EQ(watched_wait(w), 1);
        watched_stop(w);
    }
}

} // namespace

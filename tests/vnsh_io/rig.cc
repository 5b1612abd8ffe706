// rig.cc - a forwarding listener under test with real sockets and pipes
// (see rig.h).
#include "rig.h"

#include "vnsh_io_internal.h"

#include <gtest/gtest.h>
#include <testutil.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static long now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

// Bytes of private writable memory (data) this process has mapped.  (A
// cap on data, unlike one on address space, also holds under qemu-i386,
// which reserves the whole i386 address space up front.)
static long data_size()
{
    std::string status = tu_read_file("/proc/self/status");
    size_t at = status.find("VmData:");
    return at == std::string::npos ? 0 : atol(status.c_str() + at + 7) * 1024L;
}

rig rig_start(int flags, int node, rig_input input, int buffer, int quiet, const char *node_addr)
{
    rig r;
    signal(SIGPIPE, SIG_IGN); // our own writes into closed sockets

    struct sockaddr_in addr;
    int lsock = setup_socket(&addr);
    if (lsock < 0) {
        ADD_FAILURE() << "setup_socket: " << strerror(errno);
        return r;
    }
    r.port = ntohs(addr.sin_port);
    r.hdr_pid = 40000 + (getpid() % 10000);

    int in[2] = {-1, -1}, out[2], err[2], report[2];
    if (input == RIG_INPUT_PIPE) {
        EXPECT_EQ(pipe(in), 0);
    } else if (input == RIG_INPUT_SOCKET) {
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, in), 0);
    } else if (input == RIG_INPUT_EMPTY) {
        // A pipe with no writer: empty, and its end is seen in /proc.
        EXPECT_EQ(pipe(in), 0);
        close(in[1]);
        in[1] = -1;
    }
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, out), 0);
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, err), 0);
    EXPECT_EQ(pipe(report), 0);

    pid_t helper = fork();
    if (helper == 0) {
        // The caller of spawn_listener: its 0, 1, 2 are the rig's, and it
        // holds none of the test's ends, so that they see EOF.
        close(report[0]);
        if (in[1] >= 0)
            close(in[1]);
        close(out[0]);
        close(err[0]);
        if (input == RIG_INPUT_CLOSED) {
            close(0);
        } else if (input == RIG_INPUT_LSOCK) {
            dup2(lsock, 0);
            close(lsock);
            lsock = 0;
        } else {
            dup2(in[0], 0);
        }
        dup2(out[1], 1);
        dup2(err[1], 2);
        // Nothing else of the test process (other rigs' ends included).
        for (int fd = 3; fd < 1024; fd++)
            if (fd != lsock && fd != report[1])
                close(fd);
        signal(SIGPIPE, SIG_DFL);
        // Left in the stdio buffer on purpose: the listener must not write it.
        fputs("unflushed", stdout);
        nodenum = node;
        quiet_ms = quiet;
        if (node_addr)
            inet_pton(AF_INET, node_addr, &nodeaddr);
        if (buffer != buffer_size) {
            buffer_size = buffer;
            struct rlimit lim;
            lim.rlim_cur = lim.rlim_max = data_size() + (64L << 20);
            setrlimit(RLIMIT_DATA, &lim);
        }
        int pid = spawn_listener(lsock, r.hdr_pid, flags);
        ssize_t n = write(report[1], &pid, sizeof pid);
        // Stays the listener's parent, holding none of the rig's ends, and
        // passes on each change of its state until it ends.
        int null = open("/dev/null", O_RDWR);
        for (int fd = 0; fd < 3; fd++)
            dup2(null, fd);
        close(null);
        while (pid > 0 && n == sizeof pid) {
            int st;
            pid_t w = waitpid(pid, &st, WUNTRACED | WCONTINUED);
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0 || write(report[1], &st, sizeof st) != sizeof st)
                _exit(1);
            if (WIFEXITED(st) || WIFSIGNALED(st))
                break;
        }
        _exit(0);
    }
    close(lsock);
    close(report[1]);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    r.in_w = in[1];
    r.out_r = out[0];
    r.err_r = err[0];
    int pid = -1;
    EXPECT_EQ(read(report[0], &pid, sizeof pid), (ssize_t)sizeof pid);
    EXPECT_GT(pid, 0);
    r.pid = pid;
    r.helper = helper;
    r.states = report[0];
    return r;
}

// The listener's next wait status from its helper, within timeout_ms; false
// when none came (or the helper is gone).
static bool rig_next_state(rig &r, int *st, int timeout_ms)
{
    struct pollfd p = {r.states, POLLIN, 0};
    int n;
    while ((n = poll(&p, 1, timeout_ms)) < 0 && errno == EINTR) {
    }
    return n == 1 && read(r.states, st, sizeof *st) == (ssize_t)sizeof *st;
}

// Once the listener has ended: its helper reaped, its report closed.
static void rig_reaped(rig &r)
{
    if (r.helper > 0)
        waitpid(r.helper, nullptr, 0);
    r.helper = -1;
    if (r.states >= 0)
        close(r.states);
    r.states = -1;
    r.pid = -1;
}

bool rig_wait(rig &r, int timeout_ms)
{
    if (r.pid <= 0)
        return true;
    long end = now_ms() + timeout_ms;
    for (;;) {
        int st;
        long left = end - now_ms();
        if (left < 0 || !rig_next_state(r, &st, (int)left))
            return false;
        if (WIFEXITED(st) || WIFSIGNALED(st)) {
            r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            rig_reaped(r);
            return true;
        }
    }
}

bool rig_stopped(rig &r)
{
    int st;
    return r.pid > 0 && rig_next_state(r, &st, 30000) && WIFSTOPPED(st);
}

void rig_stop(rig &r)
{
    if (r.pid > 0) {
        kill(r.pid, SIGHUP);
        if (!rig_wait(r)) {
            kill(r.pid, SIGKILL);
            rig_wait(r);
        }
    }
    if (r.helper > 0) {
        kill(r.helper, SIGKILL);
        rig_reaped(r);
    }
    for (int *fd : {&r.in_w, &r.out_r, &r.err_r}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

// The kernel's record (sock_diag) of the listener's end of the connection
// fd; false when there is none.
static bool peer_end(int fd, struct inet_diag_msg *out)
{
    struct sockaddr_in self, peer;
    socklen_t len = sizeof self;
    if (getsockname(fd, (struct sockaddr *)&self, &len) < 0)
        return false;
    len = sizeof peer;
    if (getpeername(fd, (struct sockaddr *)&peer, &len) < 0)
        return false;
    return sock_find(&peer, &self, out) == 1;
}

// Waits until cond holds of the listener's end of fd (or it is gone).
template <typename F> static bool peer_end_wait(int fd, F cond, int timeout_ms = 30000)
{
    long end = now_ms() + timeout_ms;
    for (;;) {
        struct inet_diag_msg m;
        if (!peer_end(fd, &m) || cond(m))
            return true;
        if (now_ms() > end)
            return false;
        usleep(1000);
    }
}

bool rig_input_ended(const rig &r)
{
    // Local input that has ended is closed, and /dev/null keeps its number.
    std::string link = "/proc/" + std::to_string(r.pid) + "/fd/0";
    for (long end = now_ms() + 30000; now_ms() < end; usleep(1000)) {
        char target[256];
        ssize_t n = readlink(link.c_str(), target, sizeof target);
        if (n > 0 && std::string(target, n) == "/dev/null")
            return true;
    }
    return false;
}

bool rig_taken(int fd)
{
    // Queued connections are established and held by no process yet.
    return peer_end_wait(fd, [](const inet_diag_msg &m) {
        return m.idiag_state != 1 /* established */ || m.idiag_inode != 0;
    });
}

bool rig_drained(int fd)
{
    return peer_end_wait(fd, [](const inet_diag_msg &m) {
        return m.idiag_state != 1 /* established */ || m.idiag_rqueue == 0;
    });
}

int rig_connect_from(const rig &r, const char *from, int pid, int stream, int hdr_bytes)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    inet_pton(AF_INET, from, &a.sin_addr);
    if (bind(fd, (struct sockaddr *)&a, sizeof a) != 0) {
        ADD_FAILURE() << "bind " << from << ": " << strerror(errno);
        close(fd);
        return -1;
    }
    a.sin_port = htons(r.port);
    if (connect(fd, (struct sockaddr *)&a, sizeof a) != 0) {
        ADD_FAILURE() << "connect: " << strerror(errno);
        close(fd);
        return -1;
    }
    int32_t hdr[2] = {pid, stream};
    if (hdr_bytes > 0)
        send_all(fd, std::string((const char *)hdr, hdr_bytes));
    // As a placed process does: the listener has taken the connection and
    // read what was sent (it checks the owner between the two).
    EXPECT_TRUE(rig_taken(fd));
    EXPECT_TRUE(rig_drained(fd));
    return fd;
}

int rig_connect_partial(const rig &r, int pid, int stream, int hdr_bytes)
{
    return rig_connect_from(r, "127.0.0.1", pid, stream, hdr_bytes);
}

int rig_connect(const rig &r, int pid, int stream)
{
    return rig_connect_partial(r, pid, stream, 8);
}

void send_all(int fd, const std::string &data)
{
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ADD_FAILURE() << "write: " << strerror(errno);
            return;
        }
        done += n;
    }
}

bool peer_closed(int fd, int timeout_ms)
{
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1)
        return false;
    char c;
    ssize_t n = recv(fd, &c, 1, MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno == ECONNRESET);
}

std::string read_until_eof(int fd, int timeout_ms)
{
    std::string s;
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) != 1) {
            ADD_FAILURE() << "no EOF within " << timeout_ms << " ms";
            return s;
        }
        char buf[65536];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return s;
        s.append(buf, n);
    }
}

std::vector<std::string> read_records(int fd, int timeout_ms)
{
    std::vector<std::string> recs;
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) != 1) {
            ADD_FAILURE() << "no EOF within " << timeout_ms << " ms";
            return recs;
        }
        char buf[65536];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            return recs;
        recs.emplace_back(buf, n);
    }
}

// listener_test.cc - the forwarding listener through real sockets and
// descriptors: line mode and its write boundaries, unbuffered mode, the
// connection rules, and the standard-input forwarder.
#include "rig.h"

#include "vnsh_io_internal.h"

#include <vorn/vnsh_io.h>

#include <gtest/gtest.h>
#include <testutil.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

const int LINE = VNSH_LINEBUF;
const int LINE_PREFIX = VNSH_LINEBUF | VNSH_PREFIX;

using records = std::vector<std::string>;

// Connects the three streams (0 first), hands each output stream its
// pieces (a pause between pieces, so that they arrive in separate reads),
// closes everything and collects what reached local 1 and 2.
struct forward_case {
    const char *name;
    int flags;
    int node;
    std::vector<std::string> out_pieces;
    records out; // expected records (write boundaries)
    std::vector<std::string> err_pieces = {};
    records err = {};
};

std::string S(const char *s, size_t n)
{
    return std::string(s, n);
}
std::string rep(char c, size_t n)
{
    return std::string(n, c);
}

const std::vector<forward_case> &forward_cases()
{
    static const std::vector<forward_case> cases = {
        {"two lines in one read, node 5", LINE_PREFIX, 5, {"a\nb\n"}, {"  5: a\n", "  5: b\n"}},
        {"master prefix is five characters", LINE_PREFIX, -1, {"x\n"}, {" -1: x\n"}},
        {"three-digit node", LINE_PREFIX, 123, {"x\n"}, {"123: x\n"}},
        {"eight-character node", LINE_PREFIX, -1234567, {"x\n"}, {"-1234567: x\n"}},
        {"unfinished line at the end, prefix", LINE_PREFIX, 5, {"abc"}, {"  5: abc\n"}},
        {"unfinished line at the end, no prefix", LINE, 5, {"abc"}, {"abc\n"}},
        {"unfinished line at the end, unbuffered", 0, 5, {"abc"}, {"abc"}},
        {"lines split across reads",
         LINE_PREFIX,
         7,
         {"hel", "lo\nwor", "ld\n", "!"},
         {"  7: hello\n", "  7: world\n", "  7: !\n"}},
        {"line of exactly one buffer",
         LINE_PREFIX,
         5,
         {rep('x', 4096) + "\n"},
         {"  5: " + rep('x', 4096) + "\n", "  5: \n"}},
        {"line longer than two buffers",
         LINE_PREFIX,
         5,
         {rep('y', 3000), rep('y', 6000) + "\nz\n"},
         {"  5: " + rep('y', 4096) + "\n", "  5: " + rep('y', 4096) + "\n",
          "  5: " + rep('y', 808) + "\n", "  5: z\n"}},
        {"long line without prefix",
         LINE,
         5,
         {rep('y', 4100) + "\n"},
         {rep('y', 4096) + "\n", "yyyy\n"}},
        {"NUL bytes in line mode",
         LINE_PREFIX,
         2,
         {S("a\0b\n\0\n", 6)},
         {S("  2: a\0b\n", 9), S("  2: \0\n", 7)}},
        {"NUL bytes unbuffered", 0, 2, {S("a\0b\n\0", 5)}, {S("a\0b\n\0", 5)}},
        // Unbuffered: one write per piece read, lines not looked at.
        {"prefix without line mode copies unchanged",
         VNSH_PREFIX,
         5,
         {"a\nb\n", "c"},
         {"a\nb\n", "c"}},
        {"unbuffered copies unchanged", 0, 5, {"one\ntw", "o\n"}, {"one\ntw", "o\n"}},
        {"standard error is forwarded to local 2",
         LINE_PREFIX,
         3,
         {"out\n"},
         {"  3: out\n"},
         {"err", "or\n"},
         {"  3: error\n"}},
    };
    return cases;
}

class Forward : public ::testing::TestWithParam<size_t>
{
};

TEST_P(Forward, RecordsAtLocalDescriptors)
{
    const forward_case &c = forward_cases()[GetParam()];
    SCOPED_TRACE(c.name);
    rig r = rig_start(c.flags, c.node, RIG_INPUT_EMPTY);
    ASSERT_GT(r.pid, 0);
    int s0 = rig_connect(r, r.hdr_pid, 0);
    int s1 = rig_connect(r, r.hdr_pid, 1);
    int s2 = rig_connect(r, r.hdr_pid, 2);
    for (const std::string &p : c.out_pieces) {
        send_all(s1, p);
        EXPECT_TRUE(rig_drained(s1)); // each piece in a read of its own
    }
    for (const std::string &p : c.err_pieces) {
        send_all(s2, p);
        EXPECT_TRUE(rig_drained(s2));
    }
    close(s1);
    close(s2);
    EXPECT_TRUE(peer_closed(s0)); // local input was empty
    close(s0);

    records out = read_records(r.out_r);
    records err = read_records(r.err_r);
    EXPECT_EQ(out, c.out);
    EXPECT_EQ(err, c.err);
    EXPECT_TRUE(rig_wait(r));
    EXPECT_EQ(r.status, 0);
    rig_stop(r);
}

INSTANTIATE_TEST_SUITE_P(Listener, Forward, ::testing::Range<size_t>(0, forward_cases().size()));

// Helpers for the connection-rule cases.
std::string one_record(int fd)
{
    char buf[8192];
    struct timeval tv = {3, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, n) : std::string();
}

TEST(Listener, WrongProcessIdIsClosedAndUsesNoPlace)
{
    rig r = rig_start(LINE, 1, RIG_INPUT_PIPE);
    int bad = rig_connect(r, r.hdr_pid + 1, 1);
    EXPECT_TRUE(peer_closed(bad));
    close(bad);
    int s0 = rig_connect(r, r.hdr_pid, 0);
    int s1 = rig_connect(r, r.hdr_pid, 1);
    int s2 = rig_connect(r, r.hdr_pid, 2);
    send_all(s1, "out\n");
    send_all(s2, "err\n");
    EXPECT_EQ(one_record(r.out_r), "out\n");
    EXPECT_EQ(one_record(r.err_r), "err\n");
    send_all(r.in_w, "input"); // the third place went to standard input
    close(r.in_w);
    r.in_w = -1;
    EXPECT_EQ(read_until_eof(s0), "input");
    close(s0);
    close(s1);
    close(s2);
    EXPECT_TRUE(rig_wait(r));
    EXPECT_EQ(r.status, 0);
    rig_stop(r);
}

TEST(Listener, StreamNumberThreeUsesAPlace)
{
    rig r = rig_start(LINE, 1, RIG_INPUT_PIPE);
    send_all(r.in_w, "input");
    int bad = rig_connect(r, r.hdr_pid, 3);
    EXPECT_TRUE(peer_closed(bad));
    close(bad);
    int s1 = rig_connect(r, r.hdr_pid, 1);
    int s2 = rig_connect(r, r.hdr_pid, 2);
    send_all(s1, "out\n");
    EXPECT_EQ(one_record(r.out_r), "out\n");
    // No place is left for standard input: closed at once, nothing sent.
    int s0 = rig_connect(r, r.hdr_pid, 0);
    EXPECT_TRUE(peer_closed(s0));
    close(s0);
    close(s1);
    close(s2);
    // Stream 0 is still expected, so the listener waits for a quiet period.
    EXPECT_FALSE(rig_wait(r, 500));
    rig_stop(r);
}

TEST(Listener, FourthConnectionIsClosed)
{
    rig r = rig_start(LINE, 1, RIG_INPUT_PIPE);
    int s0 = rig_connect(r, r.hdr_pid, 0);
    int s1 = rig_connect(r, r.hdr_pid, 1);
    int s2 = rig_connect(r, r.hdr_pid, 2);
    send_all(s1, "first\n");
    EXPECT_EQ(one_record(r.out_r), "first\n");
    int extra = rig_connect(r, r.hdr_pid, 1);
    EXPECT_TRUE(peer_closed(extra));
    close(extra);
    send_all(s1, "still\n");
    EXPECT_EQ(one_record(r.out_r), "still\n");
    close(r.in_w);
    r.in_w = -1;
    EXPECT_EQ(read_until_eof(s0), "");
    close(s0);
    close(s1);
    close(s2);
    EXPECT_TRUE(rig_wait(r));
    EXPECT_EQ(r.status, 0);
    rig_stop(r);
}

// Output whose connection was reset before its end may be lost: status 1,
// after what had arrived, in either mode.
TEST(Listener, ResetOutputConnectionEndsItWithStatusOne)
{
    for (int flags : {0, LINE}) {
        SCOPED_TRACE(flags);
        rig r = rig_start(flags, 1, RIG_INPUT_EMPTY);
        int s0 = rig_connect(r, r.hdr_pid, 0);
        int s1 = rig_connect(r, r.hdr_pid, 1);
        int s2 = rig_connect(r, r.hdr_pid, 2);
        send_all(s2, "before\n");
        EXPECT_TRUE(rig_drained(s2));
        struct linger lg = {1, 0};
        setsockopt(s2, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        close(s2);
        close(s1);
        close(s0);
        EXPECT_EQ(one_record(r.err_r), "before\n");
        EXPECT_TRUE(rig_wait(r));
        EXPECT_EQ(r.status, 1);
        rig_stop(r);
    }
}

TEST(Listener, SecondConnectionForAnAttachedStreamIsClosed)
{
    rig r = rig_start(LINE_PREFIX, 4, RIG_INPUT_PIPE);
    int s1 = rig_connect(r, r.hdr_pid, 1);
    send_all(s1, "a\n");
    EXPECT_EQ(one_record(r.out_r), "  4: a\n");
    int dup = rig_connect(r, r.hdr_pid, 1);
    EXPECT_TRUE(peer_closed(dup));
    close(dup);
    int s2 = rig_connect(r, r.hdr_pid, 2);
    close(s2);
    // The first connection still counts and still forwards.
    send_all(s1, "b\n");
    EXPECT_EQ(one_record(r.out_r), "  4: b\n");
    close(s1);
    // The closed one was still a stream connection that came: with 1, 1, 2
    // nothing more is expected, so the listener ends with its streams, with
    // status 1: standard input never connected.
    EXPECT_TRUE(rig_wait(r));
    EXPECT_EQ(r.status, 1);
    rig_stop(r);
}

TEST(Listener, ShortHeadersHoldNothingUpAndUseNoPlace)
{
    rig r = rig_start(LINE, 1, RIG_INPUT_EMPTY);
    int silent = rig_connect_partial(r, r.hdr_pid, 1, 4); // stays open
    int gone = rig_connect_partial(r, r.hdr_pid, 2, 3);
    close(gone);
    int nothing = rig_connect_partial(r, r.hdr_pid, 2, 0); // stays open
    int s0 = rig_connect(r, r.hdr_pid, 0);
    int s1 = rig_connect(r, r.hdr_pid, 1);
    int s2 = rig_connect(r, r.hdr_pid, 2);
    send_all(s1, "out\n");
    send_all(s2, "err\n");
    EXPECT_EQ(one_record(r.out_r), "out\n");
    EXPECT_EQ(one_record(r.err_r), "err\n");
    close(s0);
    close(s1);
    close(s2);
    EXPECT_TRUE(rig_wait(r));
    EXPECT_EQ(r.status, 0);
    close(silent);
    close(nothing);
    rig_stop(r);
}

TEST(Listener, HeaderSplitOverSeveralSends)
{
    rig r = rig_start(0, 1, RIG_INPUT_EMPTY);
    int s1 = rig_connect_partial(r, r.hdr_pid, 1, 0);
    int32_t hdr[2] = {r.hdr_pid, 1};
    for (int i = 0; i < 8; i++) {
        send_all(s1, std::string((const char *)hdr + i, 1));
        EXPECT_TRUE(rig_drained(s1));
    }
    send_all(s1, "data");
    EXPECT_EQ(one_record(r.out_r), "data");
    close(s1);
    rig_stop(r);
}

TEST(Listener, EmptyLocalInputRefusesStandardInput)
{
    rig r = rig_start(LINE, 1, RIG_INPUT_EMPTY);
    ASSERT_TRUE(rig_input_ended(r));
    int s0 = rig_connect(r, r.hdr_pid, 0);
    EXPECT_TRUE(peer_closed(s0));
    close(s0);
    int s1 = rig_connect(r, r.hdr_pid, 1);
    int s2 = rig_connect(r, r.hdr_pid, 2);
    send_all(s1, "out\n");
    send_all(s2, "err");
    close(s1);
    close(s2);
    EXPECT_EQ(read_records(r.out_r), records{"out\n"});
    EXPECT_EQ(read_records(r.err_r), records{"err\n"});
    EXPECT_TRUE(rig_wait(r));
    EXPECT_EQ(r.status, 0);
    rig_stop(r);
}

void closed_local_input(rig_input input)
{
    rig r = rig_start(LINE, 1, input);
    int s0 = rig_connect(r, r.hdr_pid, 0);
    EXPECT_TRUE(peer_closed(s0));
    close(s0);
    int s1 = rig_connect(r, r.hdr_pid, 1);
    int s2 = rig_connect(r, r.hdr_pid, 2);
    send_all(s1, "out\n");
    close(s1);
    close(s2);
    EXPECT_EQ(read_records(r.out_r), records{"out\n"});
    EXPECT_TRUE(rig_wait(r));
    EXPECT_EQ(r.status, 0);
    rig_stop(r);
}

TEST(Listener, ClosedLocalInputCountsAsEnded)
{
    // Local 0 closed, or taken by the listening socket because it was closed
    // when the socket was made: either way there is no local input.
    for (rig_input input : {RIG_INPUT_CLOSED, RIG_INPUT_LSOCK}) {
        SCOPED_TRACE(input == RIG_INPUT_CLOSED ? "closed" : "listening socket");
        closed_local_input(input);
    }
}

TEST(Listener, InputEndingWhileBytesWaitIsSentInFull)
{
    rig r = rig_start(0, 1, RIG_INPUT_PIPE);
    int s0 = rig_connect(r, r.hdr_pid, 0);
    int s1 = rig_connect(r, r.hdr_pid, 1);
    int s2 = rig_connect(r, r.hdr_pid, 2);
    std::string data;
    for (int i = 0; data.size() < (3u << 20); i++)
        data += std::to_string(i) + (i % 7 ? " " : "\n");
    int in_w = r.in_w;
    r.in_w = -1;
    std::thread writer([&] {
        send_all(in_w, data);
        close(in_w);
    });
    // Let the socket fill before the remote side reads.
    int queued = 0;
    for (int i = 0; i < 30000 && queued < 65536; i++, usleep(1000))
        ioctl(s0, FIONREAD, &queued);
    EXPECT_GE(queued, 65536);
    std::string got = read_until_eof(s0);
    writer.join();
    EXPECT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data);
    close(s0);
    close(s1);
    close(s2);
    EXPECT_TRUE(rig_wait(r));
    EXPECT_EQ(r.status, 0);
    rig_stop(r);
}

TEST(Listener, RemoteClosingInputLeavesOutputGoing)
{
    rig r = rig_start(LINE, 1, RIG_INPUT_PIPE);
    int s0 = rig_connect(r, r.hdr_pid, 0);
    int s1 = rig_connect(r, r.hdr_pid, 1);
    int s2 = rig_connect(r, r.hdr_pid, 2);
    send_all(r.in_w, "unread input");
    int queued = 0;
    for (int i = 0; i < 30000 && queued < 12; i++, usleep(1000))
        ioctl(s0, FIONREAD, &queued);
    EXPECT_EQ(queued, 12);
    close(s0);                                 // unread data: the listener sees a reset
    send_all(r.in_w, std::string(20000, 'i')); // more input, nowhere to go
    send_all(s1, "still here\n");
    EXPECT_EQ(one_record(r.out_r), "still here\n");
    close(s1);
    close(s2);
    EXPECT_TRUE(rig_wait(r));
    EXPECT_EQ(r.status, 0); // not SIGPIPE
    rig_stop(r);
}

TEST(Listener, SendingIntoClosedInputDetachesWithoutSigpipe)
{
    rig r = rig_start(0, 1, RIG_INPUT_PIPE);
    int s0 = rig_connect(r, r.hdr_pid, 0);
    int s1 = rig_connect(r, r.hdr_pid, 1);
    // The remote side stops reading its input while input keeps coming;
    // then it goes away with a reset, so that sending fails.
    shutdown(s0, SHUT_RD);
    struct linger lg = {1, 0};
    setsockopt(s0, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    int in_w = r.in_w;
    r.in_w = -1;
    std::thread writer([&] {
        std::string chunk(65536, 'i');
        for (int i = 0; i < 16; i++)
            if (write(in_w, chunk.data(), chunk.size()) < 0)
                break;
        close(in_w);
    });
    usleep(200000);
    close(s0); // reset: the next send fails
    writer.join();
    int s2 = rig_connect(r, r.hdr_pid, 2);
    send_all(s1, "out");
    close(s1);
    close(s2);
    EXPECT_EQ(read_records(r.out_r), records{"out"});
    EXPECT_TRUE(rig_wait(r));
    EXPECT_EQ(r.status, 0);
    rig_stop(r);
}

TEST(Listener, OutputEndingLeavesInputGoing)
{
    rig r = rig_start(LINE, 1, RIG_INPUT_PIPE);
    int s0 = rig_connect(r, r.hdr_pid, 0);
    int s1 = rig_connect(r, r.hdr_pid, 1);
    int s2 = rig_connect(r, r.hdr_pid, 2);
    close(s1);
    close(s2);
    send_all(r.in_w, "late input\n");
    close(r.in_w);
    r.in_w = -1;
    EXPECT_EQ(read_until_eof(s0), "late input\n");
    close(s0);
    EXPECT_TRUE(rig_wait(r));
    EXPECT_EQ(r.status, 0);
    rig_stop(r);
}

TEST(Listener, InputReadBeforeTheConnectionIsSentOnceAttached)
{
    rig r = rig_start(0, 1, RIG_INPUT_PIPE);
    send_all(r.in_w, "early");
    close(r.in_w);
    r.in_w = -1;
    ASSERT_TRUE(rig_input_ended(r)); // with bytes waiting
    int s0 = rig_connect(r, r.hdr_pid, 0);
    int s1 = rig_connect(r, r.hdr_pid, 1);
    int s2 = rig_connect(r, r.hdr_pid, 2);
    EXPECT_EQ(read_until_eof(s0), "early");
    close(s0);
    close(s1);
    close(s2);
    EXPECT_TRUE(rig_wait(r));
    EXPECT_EQ(r.status, 0);
    rig_stop(r);
}

// Up to n records of fd, each within timeout_ms.
records some_records(int fd, size_t n, int timeout_ms = 30000)
{
    records recs;
    while (recs.size() < n) {
        struct pollfd p = {fd, POLLIN, 0};
        char buf[8192];
        if (poll(&p, 1, timeout_ms) != 1)
            break;
        ssize_t got = recv(fd, buf, sizeof buf, 0);
        if (got <= 0)
            break;
        recs.emplace_back(buf, got);
    }
    return recs;
}

// Writes local input in small records until the listener takes no more for
// a while: its buffer is full of bytes the remote side does not read.
void fill_local_input(int fd)
{
    int fl = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, fl | O_NONBLOCK);
    std::string rec(1000, 'i');
    for (int idle = 0; idle < 30;) {
        if (write(fd, rec.data(), rec.size()) > 0) {
            idle = 0;
            continue;
        }
        if (errno != EAGAIN)
            break;
        usleep(10000);
        idle++;
    }
    fcntl(fd, F_SETFL, fl);
}

// What the remote process writes into its standard-input connection goes to
// local 0 by the rules of the output streams.  Bytes held in line mode go out
// when the stream ends (one write, newline added), or when the forwarder
// detaches because sending failed: the prefix, the bytes and a newline in
// three writes, or without the prefix the bytes alone.
struct stream0_case {
    const char *name;
    int flags;
    bool send_fails;
    records local0;
};

TEST(Listener, StreamZeroReachesLocalZero)
{
    const stream0_case cases[] = {
        {"end of stream, prefix", LINE_PREFIX, false, {"  5: hi\n", "  5: abc\n"}},
        {"end of stream, no prefix", LINE, false, {"hi\n", "abc\n"}},
        {"end of stream, unbuffered", 0, false, {"hi\nabc"}},
        {"failed send, prefix", LINE_PREFIX, true, {"  5: hi\n", "  5: ", "abc", "\n"}},
        {"failed send, no prefix", LINE, true, {"hi\n", "abc"}},
        {"failed send, unbuffered", 0, true, {"hi\nabc"}},
    };
    for (const stream0_case &c : cases) {
        SCOPED_TRACE(c.name);
        rig r = rig_start(c.flags, 5, RIG_INPUT_SOCKET);
        ASSERT_GT(r.pid, 0);
        int s0 = rig_connect(r, r.hdr_pid, 0);
        int s1 = rig_connect(r, r.hdr_pid, 1);
        int s2 = rig_connect(r, r.hdr_pid, 2);
        send_all(s0, "hi\nabc");
        EXPECT_TRUE(rig_drained(s0)); // line mode holds "abc" now
        if (c.send_fails) {
            fill_local_input(r.in_w);
            // Reset while the listener is stopped: its next pass finds the
            // socket both writable and readable and sends first.
            kill(r.pid, SIGSTOP);
            EXPECT_TRUE(rig_stopped(r));
            struct linger lg = {1, 0};
            setsockopt(s0, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
            close(s0); // on loopback the reset is there when close returns
            s0 = -1;
            kill(r.pid, SIGCONT);
        } else {
            shutdown(s0, SHUT_WR);
        }
        // Read while the listener runs: at its end its unread input resets
        // the local socket, which would drop what it had written.
        EXPECT_EQ(some_records(r.in_w, c.local0.size()), c.local0);
        EXPECT_EQ(some_records(r.in_w, 1, 200), records{}); // nothing more
        close(s1);
        close(s2);
        EXPECT_TRUE(rig_wait(r));
        EXPECT_EQ(r.status, 0);
        if (s0 >= 0)
            close(s0);
        rig_stop(r);
    }
}

#if defined(__SANITIZE_ADDRESS__)
#define VNSH_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VNSH_UNDER_ASAN 1
#endif
#endif

// Whether a cap on a process's data holds here: a user-mode emulator
// (qemu-i386) lets the program set it but keeps it off itself.
static bool data_cap_holds()
{
    pid_t pid = fork();
    if (pid == 0) {
        struct rlimit lim = {64L << 20, 64L << 20};
        setrlimit(RLIMIT_DATA, &lim);
        _exit(malloc(256 << 20) == nullptr ? 0 : 1);
    }
    int st;
    return waitpid(pid, &st, 0) == pid && WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

TEST(Listener, FailedAllocationEndsItWithAMessage)
{
#ifdef VNSH_UNDER_ASAN
    GTEST_SKIP() << "the sanitizer needs more address space than the cap allows";
#endif
    if (!data_cap_holds())
        GTEST_SKIP() << "a cap on data does not hold here (qemu-i386 keeps it off itself)";
    rig r = rig_start(LINE, 1, RIG_INPUT_EMPTY, 256 << 20);
    std::string err;
    for (const std::string &rec : read_records(r.err_r))
        err += rec;
    EXPECT_EQ(err, "vnsh_io: listener: Cannot allocate memory\n");
    EXPECT_TRUE(rig_wait(r));
    EXPECT_EQ(r.status, 1);
    rig_stop(r);
}

// What another user's connection got: 0 when the listener closed it before
// anything came, 1 when bytes came, 2 when it could not connect.
struct intruder {
    int port;
    int pid;
    int stream;
};

int intrude(void *arg)
{
    const intruder *in = (const intruder *)arg;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(in->port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, (struct sockaddr *)&a, sizeof a) != 0)
        return 2;
    int32_t hdr[2] = {in->pid, in->stream};
    std::string msg((const char *)hdr, sizeof hdr);
    msg += "\033]0;owned\007injected\n";
    (void)send(fd, msg.data(), msg.size(), MSG_NOSIGNAL);
    struct pollfd p = {fd, POLLIN, 0};
    char c;
    return poll(&p, 1, 5000) == 1 && recv(fd, &c, 1, 0) > 0 ? 1 : 0;
}

TEST(Listener, AnotherUsersConnectionGetsNothingAndWritesNothing)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to connect as another user";
    rig r = rig_start(LINE, 1, RIG_INPUT_PIPE);
    send_all(r.in_w, "secret\n");
    for (int stream : {0, 1, 2}) {
        intruder in = {r.port, r.hdr_pid, stream};
        EXPECT_EQ(tu_as_nobody(intrude, &in), 0) << stream;
    }
    // The real streams still have all three places.
    int s0 = rig_connect(r, r.hdr_pid, 0);
    int s1 = rig_connect(r, r.hdr_pid, 1);
    int s2 = rig_connect(r, r.hdr_pid, 2);
    send_all(s1, "out\n");
    send_all(s2, "err\n");
    close(r.in_w);
    r.in_w = -1;
    EXPECT_EQ(read_until_eof(s0), "secret\n");
    close(s0);
    close(s1);
    close(s2);
    EXPECT_EQ(read_records(r.out_r), records{"out\n"});
    EXPECT_EQ(read_records(r.err_r), records{"err\n"});
    EXPECT_TRUE(rig_wait(r));
    EXPECT_EQ(r.status, 0);
    rig_stop(r);
}

// A second address on lo for as long as the test runs (root only).
struct lo_address {
    std::string addr;
    bool made = false;
    explicit lo_address(const std::string &a) : addr(a)
    {
        made = tu_run({"/usr/sbin/ip", "addr", "add", addr + "/32", "dev", "lo"}).status == 0;
    }
    ~lo_address()
    {
        if (made)
            tu_run({"/usr/sbin/ip", "addr", "del", addr + "/32", "dev", "lo"});
    }
};

TEST(Listener, PeersFromNeitherTheNodeNorLoopbackAreClosed)
{
    if (geteuid() != 0 || access("/usr/sbin/ip", X_OK) != 0)
        GTEST_SKIP() << "needs root and ip(8) to add an address to lo";
    int id = getpid() & 0xffff;
    std::string ours = "10.201." + std::to_string(id >> 8) + "." + std::to_string(id & 255);
    std::string other = "10.202." + std::to_string(id >> 8) + "." + std::to_string(id & 255);
    lo_address lo(ours);
    ASSERT_TRUE(lo.made) << "ip addr add " << ours << " dev lo";
    struct peer_case {
        const char *node_addr; // null: no node address
        std::string from;
        bool taken;
    };
    const peer_case cases[] = {
        {nullptr, ours, false},            // not loopback, and no node address
        {other.c_str(), ours, false},      // not the node's address
        {ours.c_str(), ours, true},        // the node's, a socket of ours here
        {ours.c_str(), "127.1.0.9", true}, // loopback, whichever
    };
    for (const peer_case &c : cases) {
        SCOPED_TRACE(c.from + " for node address " + (c.node_addr ? c.node_addr : "none"));
        rig r = rig_start(LINE, 1, RIG_INPUT_EMPTY, 4096, 45000, c.node_addr);
        int s1 = rig_connect_from(r, c.from.c_str(), r.hdr_pid, 1, 8);
        if (c.taken) {
            send_all(s1, "line\n");
            EXPECT_EQ(one_record(r.out_r), "line\n");
        } else {
            EXPECT_TRUE(peer_closed(s1));
        }
        close(s1);
        rig_stop(r);
    }
}

TEST(Listener, FailedLocalWriteClosesTheStreamsFeedingIt)
{
    // Local 1 has no reader any more: the stream that feeds it is reset, so
    // the remote side finds its output closed; the listener lives on (no
    // SIGPIPE) for the other streams and ends with them.
    for (int flags : {0, LINE_PREFIX}) {
        SCOPED_TRACE(flags);
        rig r = rig_start(flags, 1, RIG_INPUT_EMPTY);
        // Each connection stays open until the listener has taken it: one
        // whose owner has gone can no longer be told from another user's.
        int s0 = rig_connect(r, r.hdr_pid, 0);
        int s1 = rig_connect(r, r.hdr_pid, 1);
        int s2 = rig_connect(r, r.hdr_pid, 2);
        close(r.out_r);
        r.out_r = -1;
        std::string chunk(65536, 'y');
        bool failed = false;
        for (int i = 0; i < 1000 && !failed; i++)
            failed = send(s1, chunk.data(), chunk.size(), MSG_NOSIGNAL) < 0;
        EXPECT_TRUE(failed);
        send_all(s2, "still\n");
        EXPECT_EQ(one_record(r.err_r), flags ? "  1: still\n" : "still\n");
        close(s1);
        close(s2);
        EXPECT_TRUE(rig_wait(r));
        EXPECT_EQ(r.status, 0);
        close(s0);
        rig_stop(r);
    }
}

TEST(Listener, HangupEndsIt)
{
    rig r = rig_start(0, 1, RIG_INPUT_PIPE);
    kill(r.pid, SIGHUP);
    EXPECT_TRUE(rig_wait(r));
    EXPECT_EQ(r.status, 128 + SIGHUP);
    rig_stop(r);
}

} // namespace

// vnsh_test.cc - runs the installed vnsh against fresh emulated clusters:
// labels, node lists, exit status, input, gathering, fan-out and signals.
#include "testutil.h"

#include <vorn/vorn.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

typedef std::vector<std::string> strings;

strings vnsh_argv(const strings &args)
{
    strings argv{"/usr/bin/env", "PATH=" + tu_staged("bin") + ":/usr/bin:/bin", "vnsh"};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

tu_result vnsh(const strings &args, const std::string &in = "")
{
    return tu_run(vnsh_argv(args), in);
}


struct out_case {
    const char *name;
    strings args;
    std::string in;
    std::string out; // sorted lines unless exact (standard error too)
    std::string err;
    int status;
    bool exact;
};

// Runs each case on a fresh cluster of 8 nodes whose node 5 is down.
void run_cases(const std::vector<out_case> &cases)
{
    for (const out_case &c : cases) {
        SCOPED_TRACE(c.name);
        tu_cluster cl = tu_cluster_make(8);
        ASSERT_EQ(vorn_nodesetstatus(5, 0), 0);
        tu_result r = vnsh(c.args, c.in);
        EXPECT_EQ(c.exact ? r.out : tu_sorted_lines(r.out), c.exact ? c.out : tu_sorted_lines(c.out));
        EXPECT_EQ(c.exact ? r.err : tu_sorted_lines(r.err), c.exact ? c.err : tu_sorted_lines(c.err));
        EXPECT_EQ(r.status, c.status);
        tu_cluster_drop(cl);
    }
}

const std::string down5 = std::string("vnsh: 5: not placed: ") + vorn_strerror(EHOSTDOWN) + "\n";

// Labels, their absence, the line format, and node lists.
TEST(Vnsh, Output)
{
    std::string x40k(40000, 'x');
    run_cases({
        {"labels", {"-w", "0-2", "echo", "hi"}, "", "  0: hi\n  1: hi\n  2: hi\n", "", 0, false},
        {"no labels", {"-L", "-w", "0-2", "echo", "hi"}, "", "hi\nhi\nhi\n", "", 0, false},
        {"one node: as it comes", {"-w", "3", "printf", "a\\nb"}, "", "a\nb", "", 0, true},
        {"master and a node named twice",
         {"-w", "master,3", "-w", "3", "echo", "hi"},
         "",
         " -1: hi\n  3: hi\n  3: hi\n",
         "",
         0,
         false},
        {"a long line whole, the last line ended",
         {"-w", "0,1", "sh", "-c", "head -c 40000 /dev/zero | tr '\\0' x; printf '\\nend'"},
         "",
         "  0: " + x40k + "\n  0: end\n  1: " + x40k + "\n  1: end\n",
         "",
         0,
         false},
        {"-L: a long line whole",
         {"-L", "-w", "0,1", "sh", "-c", "head -c 40000 /dev/zero | tr '\\0' x; echo"},
         "",
         x40k + "\n" + x40k + "\n",
         "",
         0,
         true},
        {"-L: each node's bytes exactly",
         {"-L", "-w", "0,1", "printf", "x"},
         "",
         "xx",
         "",
         0,
         true},
        {"VORN_NODE",
         {"-w", "master,2", "sh", "-c", "echo $VORN_NODE"},
         "",
         " -1: -1\n  2: 2\n",
         "",
         0,
         false},
        {"standard error labelled apart",
         {"-w", "0,1", "sh", "-c", "echo out; echo err >&2"},
         "",
         "  0: out\n  1: out\n",
         "  0: err\n  1: err\n",
         0,
         false},
        {"-u: unfinished lines never meet",
         {"-u", "-w", "0,1", "printf", "x"},
         "",
         "  0: x\n  1: x\n",
         "",
         0,
         false},
        {"allup: every node once, the down one left out",
         {"-w", "allup", "echo", "up"},
         "",
         "  0: up\n  1: up\n  2: up\n  3: up\n  4: up\n  6: up\n  7: up\n",
         "",
         0,
         false},
        {"a down node is reported, the rest run",
         {"-w", "4-6", "echo", "x"},
         "",
         "  4: x\n  6: x\n",
         down5,
         1,
         false},
    });
}

// 0 when all exit 0, else the highest status, a signal as 128 + its number,
// at least 1 for a node that could not be used.  Node 2 alone reads the
// input and exits with it; the others exit 2.
TEST(Vnsh, ExitStatus)
{
    const strings prog{"sh", "-c", "if read s; then exit $s; fi; exit 2"};
    auto with = [&](strings args) {
        args.insert(args.end(), prog.begin(), prog.end());
        return args;
    };
    // The program resets the connection of its standard output: what it
    // wrote may not have arrived.
    auto with_reset = [](const std::string &then) {
        return strings{
            "-w", "0,1", "python3", "-c",
            "import socket, struct; s = socket.socket(fileno=1); "
            "s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack('ii', 1, 0)); "
            "s.close()" +
                then};
    };
    run_cases({
        {"all 0", {"-w", "0-3", "true"}, "", "", "", 0, true},
        {"highest", with({"-w", "0-3", "-i", "2"}), "7\n", "",
         "vnsh: 0-1,3: exited with status 2\nvnsh: 2: exited with status 7\n", 7, true},
        {"lower than the others", with({"-w", "0-3", "-i", "2"}), "1\n", "",
         "vnsh: 0-1,3: exited with status 2\nvnsh: 2: exited with status 1\n", 2, true},
        {"a signal",
         {"-w", "0-1", "sh", "-c", "kill -TERM $$"},
         "",
         "",
         "vnsh: 0-1: killed by signal 15\n",
         143,
         true},
        {"failures folded, in the order of their first node",
         {"-w", "7,0-6", "sh", "-c", "exit $((VORN_NODE % 2 + 2))"},
         "",
         "",
         "vnsh: 0,2,4,6: exited with status 2\nvnsh: 1,3,7: exited with status 3\n" + down5,
         3,
         true},
        {"a node not usable, the others 0", {"-w", "4-6", "true"}, "", "", down5, 1, true},
        {"a node not usable, a higher status",
         {"-w", "5,6", "sh", "-c", "exit 3"},
         "",
         "",
         down5 + "vnsh: 6: exited with status 3\n",
         3,
         true},
        {"every node not usable", {"-w", "5", "true"}, "", "", down5, 1, true},
        {"output lost: its connection reset", with_reset(""), "", "", "vnsh: 0-1: output lost\n", 1,
         true},
        {"output lost, and a status", with_reset("; raise SystemExit(3)"), "", "",
         "vnsh: 0-1: exited with status 3\nvnsh: 0-1: output lost\n", 3, true},
    });
}

// -i all: each node its own full copy; none: end of file; N: node N alone.
TEST(Vnsh, Input)
{
    std::string mib;
    for (unsigned i = 0; mib.size() < (1u << 20); i++)
        mib += static_cast<char>((i * 2654435761u) >> 24);
    tu_result local = tu_run({"/usr/bin/cksum"}, mib);
    ASSERT_EQ(local.status, 0);
    std::string each, each2;
    tu_result local2 = tu_run({"/usr/bin/cksum"}, mib + mib);
    for (int n = 0; n < 8; n++) {
        each += (n == 5 ? "" : "  " + std::to_string(n) + ": " + local.out);
        each2 += (n == 5 ? "" : "  " + std::to_string(n) + ": " + local2.out);
    }
    run_cases({
        {"all, 1 MiB", {"-w", "0-7", "cksum"}, mib, each, down5, 1, false},
        {"all, 2 MiB, to nodes that wait for their turn under -f",
         {"-f", "2", "-w", "0-7", "cksum"},
         mib + mib,
         each2,
         down5,
         1,
         false},
        {"none",
         {"-w", "0-2", "-i", "none", "sh", "-c", "cat; echo end"},
         "data\n",
         "  0: end\n  1: end\n  2: end\n",
         "",
         0,
         false},
        {"node 1",
         {"-w", "0-2", "-i", "1", "sh", "-c", "cat; echo end"},
         "data\n",
         "  0: end\n  1: data\n  1: end\n  2: end\n",
         "",
         0,
         false},
        {"one node", {"-w", "4", "cat"}, "one\n", "one\n", "", 0, true},
    });
}

// -b: identical outputs under one folded header, in node order; outputs are
// compared as they arrive, so one that is the start of another, or that
// parts from it in the middle, is its own.
TEST(Vnsh, Gather)
{
    const std::string rule = "----------------\n";
    std::string seq3000;
    for (int i = 1; i <= 3000; i++)
        seq3000 += std::to_string(i) + "\n";
    run_cases({
        {"groups",
         {"-b", "-w", "7,0-4,6", "-i", "3", "sh", "-c",
          "if read x; then echo $x; else echo none; fi"},
         "three\n",
         rule + "0-2,4,6-7\n" + rule + "none\n" + rule + "3\n" + rule + "three\n",
         "",
         0,
         true},
        {"one output the start of another; outputs that part in the middle",
         {"-b", "-w", "0-4", "sh", "-c",
          "seq 3000; case $VORN_NODE in 2) echo more;; 3) echo other; seq 3000;;"
          " 4) echo more; seq 3000;; esac"},
         "",
         rule + "0-1\n" + rule + seq3000 + rule + "2\n" + rule + seq3000 + "more\n" + rule + "3\n" +
             rule + seq3000 + "other\n" + seq3000 + rule + "4\n" + rule + seq3000 + "more\n" +
             seq3000,
         "",
         0,
         true},
        {"standard error too, silent nodes left out",
         {"-b", "-w", "0-2", "-i", "1", "sh", "-c", "if read x; then echo $x >&2; fi"},
         "e\n",
         "",
         rule + "1\n" + rule + "e\n",
         0,
         true},
    });
}

// -x after every -w; node lists from a file (^FILE) and from standard input
// (-), one a line, with comments and blank lines.
TEST(Vnsh, NodeChoice)
{
    char dir[] = "/tmp/vnsh-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string file = std::string(dir) + "/nodes";
    tu_write_file(file, "# the first rack\n0-2\n\n  6 # and one more\n");
    run_cases({
        {"-x after every -w",
         {"-w", "0-3", "-x", "1-2,6", "-w", "6-7", "echo", "x"},
         "",
         "  0: x\n  3: x\n  7: x\n",
         "",
         0,
         false},
        {"^FILE",
         {"-w", "^" + file, "-x", "1", "echo", "x"},
         "",
         "  0: x\n  2: x\n  6: x\n",
         "",
         0,
         false},
        {"- reads standard input, which the programs then find ended",
         {"-w", "-", "sh", "-c", "cat; echo x"},
         "3\n# c\n\n4\n",
         "  3: x\n  4: x\n",
         "",
         0,
         false},
    });
    unlink(file.c_str());
    rmdir(dir);
}

// A malformed call: one line naming the fault, the usage, status 1.
TEST(Vnsh, UsageErrors)
{
    std::string usage = tu_read_file(tu_source("tests/vnsh/expected/usage"));
    const struct {
        strings args;
        std::string err;
    } cases[] = {
        {{"true"}, "vnsh: no node given (-w NODES)\n"},
        {{"-w", "0"}, "vnsh: no command given\n"},
        {{"-w", "1-3x", "true"}, "vnsh: malformed node list '1-3x'\n"},
        {{"-Z", "-w", "0", "true"}, "vnsh: invalid option -- 'Z'\n"},
        {{"-w", "0-2", "-i", "4", "true"}, "vnsh: input node '4' is not among the nodes\n"},
        {{"-f", "0", "-w", "0", "true"}, "vnsh: invalid fanout value '0'\n"},
        {{"-w", "1,,2", "true"}, "vnsh: empty item in node list '1,,2'\n"},
        {{"-w", "0", "-x", ",5", "true"}, "vnsh: empty item in node list ',5'\n"},
        {{"-w", "6-9", "true"},
         "vnsh: node list item '6-9': no node 9 (the cluster has nodes 0-7)\n"},
        {{"-w", "0,8", "true"},
         "vnsh: node list item '8': no node 8 (the cluster has nodes 0-7)\n"},
        {{"-w", "5-3", "true"}, "vnsh: node list item '5-3': the range runs backwards\n"},
        {{"-w", "1,08", "true"},
         "vnsh: node list item '08': a number with a leading 0 is octal, without 8 or 9\n"},
        {{"-w", "0-1", "-x", "0-1", "true"}, "vnsh: no node left (-x took them all)\n"},
    };
    tu_cluster cl = tu_cluster_make(8);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.err);
        tu_result r = vnsh(c.args);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err + usage);
        EXPECT_EQ(r.status, 1);
    }
    // Nothing was placed.
    for (const auto &line : tu_journal())
        EXPECT_NE(line.at(2), "vorn_rexec_io");
    tu_result h = vnsh({"--help"});
    EXPECT_EQ(h.out, usage);
    EXPECT_EQ(h.status, 0);
    tu_result v = vnsh({"-v"});
    EXPECT_EQ(v.out, "vnsh version 5.0.0\n");
    tu_cluster_drop(cl);
}

// -t: SIGTERM first, SIGKILL two seconds later for a program that ignores
// it; the node is reported and counts as failed.
TEST(Vnsh, Timeout)
{
    run_cases({
        {"term",
         {"-t", "1", "-w", "0", "sleep", "100"},
         "",
         "",
         "vnsh: 0: timed out after 1 s\n",
         143,
         true},
        {"kill",
         {"-t", "1", "-w", "0,1", "sh", "-c", "trap '' TERM; echo on; sleep 100"},
         "",
         "  0: on\n  1: on\n",
         "vnsh: 0-1: timed out after 1 s\n",
         137,
         false},
    });
}

// A started vnsh with its standard output on a pipe.
struct started {
    pid_t pid;
    int out;
};

started vnsh_start(const strings &args, int blocked = 0, int err = -1)
{
    int p[2];
    EXPECT_EQ(pipe2(p, O_CLOEXEC), 0);
    strings argv = vnsh_argv(args);
    pid_t pid = fork();
    if (pid == 0) {
        if (blocked) {
            sigset_t set;
            sigemptyset(&set);
            sigaddset(&set, blocked);
            sigprocmask(SIG_BLOCK, &set, nullptr);
        }
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(p[1], 1);
        if (err >= 0)
            dup2(err, 2);
        std::vector<char *> a;
        for (const std::string &s : argv)
            a.push_back(const_cast<char *>(s.c_str()));
        a.push_back(nullptr);
        execv(a[0], a.data());
        _exit(127);
    }
    close(p[1]);
    return {pid, p[0]};
}

// Reads until the text holds count newlines (true) or the pipe ends
// (false); bounded by the test's own time limit.
bool read_lines(int fd, std::string &text, size_t count)
{
    while (static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) < count) {
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        text.append(buf, static_cast<size_t>(n));
    }
    return true;
}

int wait_status(pid_t pid)
{
    int st;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

// Ctrl-C reaches every program; their last lines still arrive.
TEST(Vnsh, InterruptForwarded)
{
    tu_cluster cl = tu_cluster_make(4);
    started v = vnsh_start({"-w", "0-3", "sh", "-c",
                            "trap 'echo bye; exit 5' INT; echo ready; while :; do sleep 1; done"});
    std::string text;
    read_lines(v.out, text, 4);
    ASSERT_EQ(tu_sorted_lines(text), "  0: ready\n  1: ready\n  2: ready\n  3: ready\n");
    kill(v.pid, SIGINT);
    read_lines(v.out, text, INT_MAX);
    close(v.out);
    EXPECT_EQ(tu_sorted_lines(text), tu_sorted_lines("  0: ready\n  1: ready\n  2: ready\n  3: ready\n"
                                   "  0: bye\n  1: bye\n  2: bye\n  3: bye\n"));
    EXPECT_EQ(wait_status(v.pid), 5);
    tu_cluster_drop(cl);
}

// A second Ctrl-C within a second ends every program with SIGKILL, also
// those that outlive an interrupt.  Signals of one kind do not queue, so
// each interrupt follows the programs' answer to the one before; on a
// machine too busy to answer within the second, the next round tries again.
TEST(Vnsh, SecondInterruptKills)
{
    tu_cluster cl = tu_cluster_make(4);
    started v = vnsh_start(
        {"-w", "0-3", "sh", "-c", "trap 'echo caught' INT; echo ready; while :; do sleep 1; done"});
    std::string text;
    size_t lines = 4;
    ASSERT_TRUE(read_lines(v.out, text, lines));
    bool ended = false;
    for (int round = 0; round < 20 && !ended; round++) {
        kill(v.pid, SIGINT);
        ended = !read_lines(v.out, text, lines += 4);
    }
    if (!ended)
        kill(v.pid, SIGTERM); // the programs do not outlive it
    close(v.out);
    EXPECT_TRUE(ended);
    EXPECT_EQ(wait_status(v.pid), ended ? 128 + SIGKILL : 128 + SIGTERM);
    tu_cluster_drop(cl);
}

// An interrupt with -f 1: the running program ends by it, the nodes not yet
// started are named on one line.
TEST(Vnsh, InterruptNotStartedFolded)
{
    tu_cluster cl = tu_cluster_make(8);
    int err[2];
    ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
    started v = vnsh_start(
        {"-f", "1", "-w", "0-7", "sh", "-c", "echo ready; while :; do sleep 1; done"}, 0, err[1]);
    close(err[1]);
    std::string text, errs;
    ASSERT_TRUE(read_lines(v.out, text, 1));
    kill(v.pid, SIGINT);
    read_lines(err[0], errs, INT_MAX);
    close(err[0]);
    close(v.out);
    EXPECT_EQ(errs, "vnsh: 0: killed by signal 2\nvnsh: 1-7: not started: interrupted\n");
    EXPECT_EQ(wait_status(v.pid), 128 + SIGINT);
    tu_cluster_drop(cl);
}

// A second SIGTERM, like a second Ctrl-C, ends with SIGKILL the programs that
// outlived the first; vnsh then ends although a process that left the
// program's process group still holds its output.
TEST(Vnsh, SecondTermKills)
{
    tu_cluster cl = tu_cluster_make(4);
    started v = vnsh_start({"-L", "-w", "0-3", "sh", "-c",
                            "trap 'echo caught' TERM; setsid sleep 1000 & echo $!; "
                            "while :; do sleep 1; done"});
    std::string text;
    ASSERT_TRUE(read_lines(v.out, text, 4));
    kill(v.pid, SIGTERM);
    ASSERT_TRUE(read_lines(v.out, text, 8));
    kill(v.pid, SIGTERM);
    EXPECT_FALSE(read_lines(v.out, text, 9));
    close(v.out);
    EXPECT_EQ(wait_status(v.pid), 128 + SIGKILL);
    for (size_t at = 0; at < text.size(); at = text.find('\n', at) + 1)
        if (atoi(text.c_str() + at) > 0)
            kill(atoi(text.c_str() + at), SIGKILL);
    tu_cluster_drop(cl);
}

// Started with SIGCHLD blocked, as a parent may leave it, vnsh still sees
// its programs end.
TEST(Vnsh, SigchldBlockedAtStart)
{
    tu_cluster cl = tu_cluster_make(4);
    started v = vnsh_start({"-w", "0-3", "echo", "x"}, SIGCHLD);
    std::string text;
    EXPECT_FALSE(read_lines(v.out, text, 5));
    close(v.out);
    EXPECT_EQ(tu_sorted_lines(text), "  0: x\n  1: x\n  2: x\n  3: x\n");
    EXPECT_EQ(wait_status(v.pid), 0);
    tu_cluster_drop(cl);
}

// -f 2: at most two programs run at once.  Each program says "start N" on
// a FIFO that the test reads, waits until the test releases it (opening
// its own FIFO), then says "end N" before it exits.  The test releases one
// program whenever two run; between vnsh reaping one and starting the
// next, the "end" line comes first, so starts minus ends is the number
// running at any point of the line stream.
TEST(Vnsh, FanoutLimitsRunningPrograms)
{
    tu_cluster cl = tu_cluster_make(8);
    char dir[] = "/tmp/vnsh-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string d = dir, events = d + "/events";
    ASSERT_EQ(mkfifo(events.c_str(), 0600), 0);
    for (int n = 0; n < 8; n++)
        ASSERT_EQ(mkfifo((d + "/go." + std::to_string(n)).c_str(), 0600), 0);
    int ev = open(events.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(ev, 0);
    started v = vnsh_start({"-f", "2", "-w", "0-7", "sh", "-c",
                            "echo start $VORN_NODE >>" + events + "; cat " + d +
                                "/go.$VORN_NODE; echo end $VORN_NODE >>" + events});
    std::string text;
    size_t at = 0;
    int running = 0, most = 0, starts = 0, ends = 0;
    std::vector<int> waiting;
    while (ends < 8) {
        ASSERT_TRUE(read_lines(ev, text, (size_t)(starts + ends + 1)));
        size_t nl = text.find('\n', at);
        std::string line = text.substr(at, nl - at);
        at = nl + 1;
        int node = atoi(line.c_str() + line.find(' ') + 1);
        if (line.compare(0, 6, "start ") == 0) {
            starts++;
            most = std::max(most, ++running);
            waiting.push_back(node);
        } else {
            ends++;
            running--;
        }
        if (!waiting.empty() && (running >= 2 || starts == 8)) {
            int go =
                open((d + "/go." + std::to_string(waiting.front())).c_str(), O_WRONLY | O_CLOEXEC);
            close(go);
            waiting.erase(waiting.begin());
        }
    }
    EXPECT_EQ(most, 2);
    EXPECT_EQ(starts, 8);
    std::string out;
    read_lines(v.out, out, INT_MAX);
    close(v.out);
    close(ev);
    EXPECT_EQ(out, "");
    EXPECT_EQ(wait_status(v.pid), 0);
    for (int n = 0; n < 8; n++)
        unlink((d + "/go." + std::to_string(n)).c_str());
    unlink(events.c_str());
    rmdir(dir);
    tu_cluster_drop(cl);
}

// 1,000 nodes, one line each: exactly 1,000 lines, every node once.
TEST(Vnsh, ThousandNodes)
{
    tu_cluster cl = tu_cluster_make(1000);
    tu_result r = vnsh({"-w", "all", "echo", "x"});
    std::string want;
    for (int n = 0; n < 1000; n++) {
        char line[32];
        snprintf(line, sizeof line, "%3d: x\n", n);
        want += line;
    }
    EXPECT_EQ(tu_sorted_lines(r.out), tu_sorted_lines(want));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    tu_cluster_drop(cl);
}

} // namespace

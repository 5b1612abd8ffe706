// vnsh_test.cc - runs the installed vnsh against fresh emulated clusters:
// labels, node lists, exit status, input, gathering, fan-out and signals.
#include "testutil.h"

#include <vorn/vorn.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <string>
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

// Lines of several nodes come in any order: compare them sorted.
std::string sorted(const std::string &text)
{
    strings lines;
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        size_t end = nl == std::string::npos ? text.size() : nl + 1;
        lines.push_back(text.substr(at, end - at));
        at = end;
    }
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const std::string &l : lines)
        out += l;
    return out;
}

struct out_case {
    const char *name;
    strings args;
    std::string in;
    std::string out; // sorted lines unless exact
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
        EXPECT_EQ(c.exact ? r.out : sorted(r.out), c.exact ? c.out : sorted(c.out));
        EXPECT_EQ(sorted(r.err), sorted(c.err));
        EXPECT_EQ(r.status, c.status);
        tu_cluster_drop(cl);
    }
}

const std::string down5 = std::string("vnsh: node 5: ") + vorn_strerror(EHOSTDOWN) + "\n";

// Labels, their absence, the line format, and node lists.
TEST(Vnsh, Output)
{
    std::string x4096(4096, 'x'), x904(904, 'x');
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
        {"long line cut, last line ended",
         {"-w", "0,1", "sh", "-c", "head -c 5000 /dev/zero | tr '\\0' x; printf '\\nend'"},
         "",
         "  0: " + x4096 + "\n  0: " + x904 + "\n  0: end\n  1: " + x4096 + "\n  1: " + x904 +
             "\n  1: end\n",
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
    run_cases({
        {"all 0", {"-w", "0-3", "true"}, "", "", "", 0, true},
        {"highest", with({"-w", "0-3", "-i", "2"}), "7\n", "", "", 7, true},
        {"lower than the others", with({"-w", "0-3", "-i", "2"}), "1\n", "", "", 2, true},
        {"a signal", {"-w", "0-1", "sh", "-c", "kill -TERM $$"}, "", "", "", 143, true},
        {"a node not usable, the others 0", {"-w", "4-6", "true"}, "", "", down5, 1, true},
        {"a node not usable, a higher status",
         {"-w", "5,6", "sh", "-c", "exit 3"},
         "",
         "",
         down5,
         3,
         true},
        {"every node not usable", {"-w", "5", "true"}, "", "", down5, 1, true},
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
    std::string each;
    for (int n = 0; n < 8; n++)
        each += (n == 5 ? "" : "  " + std::to_string(n) + ": " + local.out);
    run_cases({
        {"all, 1 MiB", {"-w", "0-7", "cksum"}, mib, each, down5, 1, false},
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

// -b: identical outputs under one folded header, in node order.
TEST(Vnsh, Gather)
{
    const std::string rule = "----------------\n";
    run_cases({
        {"groups",
         {"-b", "-w", "7,0-4,6", "-i", "3", "sh", "-c",
          "if read x; then echo $x; else echo none; fi"},
         "three\n",
         rule + "0-2,4,6-7\n" + rule + "none\n" + rule + "3\n" + rule + "three\n",
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
    };
    tu_cluster cl = tu_cluster_make(8);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.err);
        tu_result r = vnsh(c.args);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err + usage);
        EXPECT_EQ(r.status, 1);
    }
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
         "vnsh: node 0: timed out after 1 s\n",
         143,
         true},
        {"kill",
         {"-t", "1", "-w", "0,1", "sh", "-c", "trap '' TERM; echo on; sleep 100"},
         "",
         "  0: on\n  1: on\n",
         "vnsh: node 0: timed out after 1 s\nvnsh: node 1: timed out after 1 s\n",
         137,
         false},
    });
}

// A started vnsh with its standard output on a pipe.
struct started {
    pid_t pid;
    int out;
};

started vnsh_start(const strings &args)
{
    int p[2];
    EXPECT_EQ(pipe2(p, O_CLOEXEC), 0);
    strings argv = vnsh_argv(args);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(p[1], 1);
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
    ASSERT_EQ(sorted(text), "  0: ready\n  1: ready\n  2: ready\n  3: ready\n");
    kill(v.pid, SIGINT);
    read_lines(v.out, text, INT_MAX);
    close(v.out);
    EXPECT_EQ(sorted(text), sorted("  0: ready\n  1: ready\n  2: ready\n  3: ready\n"
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

// What /proc says of a process: its parent, and the system call it sits in.
pid_t proc_parent(pid_t pid)
{
    std::string stat = tu_read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t at = stat.rfind(')');
    if (at == std::string::npos)
        return -1;
    return static_cast<pid_t>(atoi(stat.c_str() + at + 4));
}

long proc_syscall(pid_t pid)
{
    std::string s = tu_read_file("/proc/" + std::to_string(pid) + "/syscall");
    return s.empty() ? -2 : atol(s.c_str());
}

// vnsh's children that still run vnsh: placements under way.
std::vector<pid_t> placing(pid_t parent)
{
    std::vector<pid_t> kids;
    char self[PATH_MAX] = "";
    ssize_t len =
        readlink(("/proc/" + std::to_string(parent) + "/exe").c_str(), self, sizeof self - 1);
    if (len <= 0)
        return kids;
    self[len] = 0;
    DIR *d = opendir("/proc");
    struct dirent *e;
    while ((e = readdir(d)) != nullptr) {
        pid_t pid = atoi(e->d_name);
        if (pid <= 0 || proc_parent(pid) != parent)
            continue;
        char exe[PATH_MAX];
        ssize_t n =
            readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), exe, sizeof exe - 1);
        if (n > 0 && std::string(exe, static_cast<size_t>(n)) == self)
            kids.push_back(pid);
    }
    closedir(d);
    return kids;
}

// The fan-out limit: with a read lock held on the cluster, placements stop
// inside the library where it records the placed process; once vnsh waits
// in poll and each of its placing children waits for the lock, no more than
// -f of them exist.  Unlocked, every node runs.
TEST(Vnsh, FanoutLimit)
{
    tu_cluster cl = tu_cluster_make(8);
    int lock = open((cl.path + "/lock").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(lock, 0);
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = F_RDLCK;
    fl.l_whence = SEEK_SET;
    ASSERT_EQ(fcntl(lock, F_SETLKW, &fl), 0);
    started v = vnsh_start({"-f", "2", "-L", "-w", "0-7", "echo", "x"});
    size_t seen = 0;
    bool settled = false;
    // Until vnsh sits in poll and every placing child in the library's lock
    // wait (fcntl, or asleep on the lock's futex), within the library's own
    // 10-second bound on that wait.
    struct timespec t0;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    for (;;) {
        // In poll before the children are listed: every fork came before.
        long call = proc_syscall(v.pid);
        std::vector<pid_t> kids = placing(v.pid);
        settled = (call == 7 || call == 271) && !kids.empty();
        for (pid_t k : kids) {
            long kc = proc_syscall(k);
            settled = settled && (kc == 72 || kc == 202 || kc == 35 || kc == 230);
        }
        seen = std::max(seen, kids.size());
        struct timespec t;
        clock_gettime(CLOCK_MONOTONIC, &t);
        if (settled || seen > 2 || t.tv_sec - t0.tv_sec > 5)
            break;
        sched_yield();
    }
    EXPECT_TRUE(settled) << "vnsh and its placing children never all waited";
    EXPECT_EQ(seen, 2u);
    fl.l_type = F_UNLCK;
    fcntl(lock, F_SETLK, &fl);
    close(lock);
    std::string text;
    read_lines(v.out, text, INT_MAX);
    close(v.out);
    EXPECT_EQ(text, "x\nx\nx\nx\nx\nx\nx\nx\n");
    EXPECT_EQ(wait_status(v.pid), 0);
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
    EXPECT_EQ(sorted(r.out), sorted(want));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    tu_cluster_drop(cl);
}

} // namespace

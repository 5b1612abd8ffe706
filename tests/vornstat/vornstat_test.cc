// vornstat_test.cc - runs the installed vornstat against fresh emulated
// clusters and compares its output and exit status byte for byte.
#include "testutil.h"

#include <vorn/vorn.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

typedef std::vector<std::string> strings;

// One run of vornstat on a fresh 8-node cluster: vornctl command lines run
// before it, faults armed before it, what it must print, its exit status.
struct stat_case {
    const char *name;
    std::vector<strings> setup;
    std::vector<strings> faults;
    strings args;
    std::string out; // "{USAGE}" is the usage text
    std::string err; // "{EIO}" is the library's text for EIO
    int status;
};

std::string expected(const std::string &name)
{
    return tu_read_file(tu_source("tests/vornstat/expected/" + name));
}

std::string expand(std::string s)
{
    size_t at;
    if ((at = s.find("{USAGE}")) != std::string::npos)
        s.replace(at, 7, expected("usage"));
    if ((at = s.find("{EIO}")) != std::string::npos)
        s.replace(at, 5, vorn_strerror(EIO));
    return s;
}

// Runs the installed program found through PATH, so that argv[0] is the
// name a user types.
strings command(const char *prog, const strings &args)
{
    strings argv{"/usr/bin/env", "PATH=" + tu_staged("bin"), prog};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

tu_result vornstat(const strings &args)
{
    return tu_run(command("vornstat", args));
}

void vornctl_ok(const strings &args)
{
    tu_result r = tu_run(command("vornctl", args));
    ASSERT_EQ(r.status, 0) << r.err;
}

void run_cases(const std::vector<stat_case> &cases)
{
    for (const stat_case &c : cases) {
        SCOPED_TRACE(c.name);
        tu_cluster cl = tu_cluster_make(8);
        for (const strings &s : c.setup)
            vornctl_ok(s);
        for (const strings &f : c.faults) {
            strings args{"fail"};
            args.insert(args.end(), f.begin(), f.end());
            tu_result fr = tu_vornemu(args);
            ASSERT_EQ(fr.status, 0) << fr.err;
        }
        tu_result r = vornstat(c.args);
        EXPECT_EQ(r.out, expand(c.out));
        EXPECT_EQ(r.err, expand(c.err));
        EXPECT_EQ(r.status, c.status);
        tu_cluster_drop(cl);
    }
}

const strings down_2_5_6 = {"-S", "2,5-6", "-s", "down"};

// The summary: one line per state with nodes, in the state table's order,
// then the master; -w and -s choose what is counted.
TEST(Vornstat, Summary)
{
    run_cases({
        {"fresh cluster", {}, {}, {}, "up      8  0-7\nmaster  up\n", "", 0},
        {"nodes down",
         {down_2_5_6},
         {},
         {},
         "down    3  2,5-6\nup      5  0-1,3-4,7\nmaster  up\n",
         "",
         0},
        {"every state, in table order",
         {{"-S", "7", "-s", "unavailable"},
          {"-S", "0", "-s", "down"},
          {"-S", "1", "-s", "boot"},
          {"-S", "2", "-s", "error"},
          {"-S", "3-4", "-s", "unavailable"}},
         {},
         {},
         "down    1  0\nboot    1  1\nerror   1  2\nunavailable 3  3-4,7\nup      2  5-6\n"
         "master  up\n",
         "",
         0},
        {"-s down", {down_2_5_6}, {}, {"-s", "down"}, "down    3  2,5-6\n", "", 0},
        {"-w in any order, with duplicates and the master",
         {down_2_5_6},
         {},
         {"-w", "7,2,0-1,1,master"},
         "down    1  2\nup      3  0-1,7\nmaster  up\n",
         "",
         0},
        {"-w with a state filter, no master",
         {down_2_5_6},
         {},
         {"--nodes=allnotup"},
         "down    3  2,5-6\n",
         "",
         0},
        {"-w and -s", {down_2_5_6}, {}, {"-w", "0-3", "-s", "up"}, "up      3  0-1,3\n", "", 0},
        {"master only", {}, {}, {"--nodes", "master", "--state", "up"}, "master  up\n", "", 0},
        {"an empty node list", {}, {}, {"-w", "5-3"}, "", "", 0},
    });
}

// Bad command lines name what is wrong and print the usage; library
// failures print the library's message; both exit 1.
TEST(Vornstat, Failures)
{
    const std::vector<strings> nodelist_eio = {{"vorn_nodelist", "any", "EIO"}};
    run_cases({
        {"-h", {}, {}, {"-h"}, "{USAGE}", "", 0},
        {"--version", {}, {}, {"--version"}, "vornstat version 5.0.0\n", "", 0},
        {"state name", {}, {}, {"-s", "UP"}, "{USAGE}", "Invalid node state: UP\n", 1},
        {"node list", {}, {}, {"-w", "1-3x"}, "{USAGE}", "Invalid node list: 1-3x\n", 1},
        {"node outside the cluster", {}, {}, {"-w", "0,8"}, "{USAGE}", "No such node: 8\n", 1},
        {"node below the master", {}, {}, {"-w", "-2"}, "{USAGE}", "No such node: -2\n", 1},
        {"interval 0", {}, {}, {"-i", "0"}, "{USAGE}", "Invalid interval: 0\n", 1},
        {"interval with a unit", {}, {}, {"-i", "2s"}, "{USAGE}", "Invalid interval: 2s\n", 1},
        {"interval over a day", {}, {}, {"-i", "86401"}, "{USAGE}", "Invalid interval: 86401\n", 1},
        {"argument left", {}, {}, {"-l", "extra"}, "{USAGE}", "Invalid argument: extra\n", 1},
        {"unknown long option",
         {},
         {},
         {"--bogus"},
         "{USAGE}",
         "vornstat: unrecognized option '--bogus'\n",
         1},
        {"missing argument",
         {},
         {},
         {"-w"},
         "{USAGE}",
         "vornstat: option requires an argument -- 'w'\n",
         1},
        {"node table fails", {}, nodelist_eio, {}, "", "vorn_nodelist: {EIO}\n", 1},
        {"node table fails under -w",
         {},
         nodelist_eio,
         {"-w", "1"},
         "",
         "vorn_nodelist: {EIO}\n",
         1},
        {"master's record fails",
         {},
         {{"vorn_nodeinfo", "-1", "EIO"}},
         {},
         "",
         "vorn_nodeinfo: {EIO}\n",
         1},
        {"process list fails",
         {},
         {{"vorn_proclist", "0", "EIO"}},
         {"-l", "-w", "master,0-1"},
         "NODE     STATE       MODE USER     GROUP    ADDRESS         PROCS\n"
         "master   up          0111 root     root     127.0.0.1           0\n",
         "vorn_proclist: node 0: {EIO}\n",
         1},
        // The summary shows no process counts and asks for no process list.
        {"summary without process lists",
         {},
         {{"vorn_proclist", "any", "EIO"}},
         {"-w", "0-2"},
         "up      3  0-2\n",
         "",
         0},
    });
    EXPECT_NE(tu_read_file(tu_staged("share/man/man1/vornstat.1")), "");
}

// Nodes going through a reboot: "boot" while the boot delay runs, then up
// again by themselves.
TEST(Vornstat, BootAndBack)
{
    // A boot delay of an hour: nodes 3 and 4 stay in boot until set up.
    tu_cluster cl = tu_cluster_make(8, {"--boot-delay", "3600"});
    vornctl_ok({"-f", "-S", "3-4", "-R"});
    EXPECT_EQ(vornstat({}).out, "boot    2  3-4\nup      6  0-2,5-7\nmaster  up\n");
    EXPECT_EQ(vornstat({"-l", "-s", "boot"}).out,
              "NODE     STATE       MODE USER     GROUP    ADDRESS         PROCS\n"
              "3        boot        0111 root     root     127.1.0.4           0\n"
              "4        boot        0111 root     root     127.1.0.5           0\n");
    tu_cluster_drop(cl);

    // A short delay: node 3 reboots without waiting, then node 4 with
    // waiting; when node 4 is back, node 3 (same delay, earlier) is too.
    cl = tu_cluster_make(8, {"--boot-delay", "0.2"});
    vornctl_ok({"-f", "-S", "3", "-R"});
    vornctl_ok({"-S", "4", "-R"});
    EXPECT_EQ(vornstat({}).out, "up      8  0-7\nmaster  up\n");
    tu_cluster_drop(cl);
}

// The rows of a cluster whose nodes have owners with and without names in
// the user database, several modes and states.
void owners_setup()
{
    ASSERT_EQ(getpwuid(4242), nullptr) << "user id 4242 must have no name here";
    ASSERT_EQ(getgrgid(4242), nullptr) << "group id 4242 must have no name here";
    ASSERT_NE(getpwuid(65534), nullptr);
    ASSERT_NE(getgrgid(65534), nullptr);
    vornctl_ok({"-S", "1", "-u", "65534", "-g", "65534", "-m", "110"});
    vornctl_ok({"-S", "2", "-u", "4242", "-g", "4242"});
    vornctl_ok({"-S", "3", "-m", "750", "-g", "65534"});
    vornctl_ok({"-S", "5", "-s", "down"});
    vornctl_ok({"-S", "6", "-s", "unavailable"});
    // Numbers at and above 2^31 stay non-negative.
    vornctl_ok({"-S", "7", "-u", "2147483648"});
    ASSERT_EQ(vorn_chmod(7, INT32_MIN), 0);
}

// A child placed on node: forked, moved there, then waiting for its end
// (SIGKILL from release(), or the end of the test process).
pid_t place_on(int node)
{
    int ready[2];
    if (pipe(ready)) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        return -1;
    }
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close(ready[0]);
        char c = _vorn_move_io(node, nullptr, -1, 0) == 0 ? 'y' : 'n';
        if (write(ready[1], &c, 1) != 1)
            _exit(1);
        for (;;)
            pause();
    }
    close(ready[1]);
    struct pollfd p = {ready[0], POLLIN, 0};
    char c = 0;
    EXPECT_EQ(poll(&p, 1, 30000), 1) << "the child did not move within 30 s";
    EXPECT_EQ(read(ready[0], &c, 1), 1);
    EXPECT_EQ(c, 'y');
    close(ready[0]);
    return pid;
}

void release(pid_t pid)
{
    int st;
    kill(pid, SIGKILL);
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
}

TEST(Vornstat, LongRows)
{
    tu_cluster cl = tu_cluster_make(8);
    owners_setup();
    tu_result r = vornstat({"-l"});
    EXPECT_EQ(r.out, expected("long"));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);

    // With processes placed on node 4: their count, and with -p their ids
    // in increasing order.
    pid_t a = place_on(4), b = place_on(4);
    pid_t lo = std::min(a, b), hi = std::max(a, b);
    r = vornstat({"-p", "-w", "3-4,0"});
    EXPECT_EQ(r.out, "NODE     STATE       MODE USER     GROUP    ADDRESS         PROCS PIDS\n"
                     "0        up          0111 root     root     127.1.0.1           0 -\n"
                     "3        up          0750 root     nogroup  127.1.0.4           0 -\n"
                     "4        up          0111 root     root     127.1.0.5           2 " +
                         std::to_string(lo) + "," + std::to_string(hi) + "\n");
    EXPECT_EQ(vornstat({"-l", "-w", "4"}).out,
              "NODE     STATE       MODE USER     GROUP    ADDRESS         PROCS\n"
              "4        up          0111 root     root     127.1.0.5           2\n");
    release(a);
    release(b);
    tu_cluster_drop(cl);
}

// Reads JSON text with python3 and prints each object's keys and values
// in the order of its keys, one per line, so that the C++ side compares
// plain text.
std::string json_readback(const std::string &json)
{
    const char *prog = "import json, sys\n"
                       "rows = json.load(sys.stdin)\n"
                       "for r in rows:\n"
                       "    print(' '.join('%s=%s' % (k, json.dumps(v, ensure_ascii=True))"
                       " for k, v in r.items()))\n";
    tu_result r = tu_run({"/usr/bin/env", "python3", "-c", prog}, json);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

TEST(Vornstat, JsonReadBack)
{
    tu_cluster cl = tu_cluster_make(8);
    owners_setup();
    pid_t a = place_on(1);
    tu_result r = vornstat({"--json", "-w", "master,1-2,7"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(json_readback(r.out),
              "node=-1 state=\"up\" mode=\"0111\" uid=0 user=\"root\" gid=0 group=\"root\" "
              "address=\"127.0.0.1\" processes=0 pids=[]\n"
              "node=1 state=\"up\" mode=\"0110\" uid=65534 user=\"nobody\" gid=65534 "
              "group=\"nogroup\" address=\"127.1.0.2\" processes=1 pids=[" +
                  std::to_string(a) +
                  "]\n"
                  "node=2 state=\"up\" mode=\"0111\" uid=4242 user=null gid=4242 group=null "
                  "address=\"127.1.0.3\" processes=0 pids=[]\n"
                  "node=7 state=\"up\" mode=\"20000000000\" uid=2147483648 user=null gid=0 "
                  "group=\"root\" address=\"127.1.0.8\" processes=0 pids=[]\n");
    release(a);
    // No node: an empty array.
    r = vornstat({"--json", "-s", "error"});
    EXPECT_EQ(r.out, "[]\n");
    EXPECT_EQ(json_readback(r.out), "");
    tu_cluster_drop(cl);
}

// A user name with a quote, a backslash, a control character, a byte that
// is not UTF-8 and an accented letter, from a user database of our own
// mounted over /etc/passwd in a private mount namespace.
TEST(Vornstat, JsonEscapesNames)
{
    if (geteuid() != 0 || tu_run({"/usr/bin/unshare", "-m", "true"}).status != 0)
        GTEST_SKIP() << "needs root and mount namespaces (unshare -m)";
    tu_cluster cl = tu_cluster_make(8);
    vornctl_ok({"-S", "3", "-u", "7001"});
    std::string passwd = cl.dir + "/passwd";
    tu_write_file(passwd, "root:x:0:0:root:/root:/bin/sh\n"
                          "qu\"o\\te\x01\xff\xc3\xa9:x:7001:7001::/:/bin/sh\n");
    std::string script = "mount --bind \"$0\" /etc/passwd && exec \"$@\"";
    strings argv{"/usr/bin/unshare", "-m", "/bin/sh", "-c", script, passwd};
    strings stat = command("vornstat", {"--json", "-w", "3"});
    argv.insert(argv.end(), stat.begin(), stat.end());
    tu_result r = tu_run(argv);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "[\n{\"node\": 3, \"state\": \"up\", \"mode\": \"0111\", \"uid\": 7001, "
                     "\"user\": \"qu\\\"o\\\\te\\u0001\\ufffd\xc3\xa9\", \"gid\": 0, "
                     "\"group\": \"root\", \"address\": \"127.1.0.4\", \"processes\": 0, "
                     "\"pids\": []}\n]\n");
    EXPECT_NE(json_readback(r.out).find("user=\"qu\\\"o\\\\te\\u0001\\ufffd\\u00e9\""),
              std::string::npos);
    tu_cluster_drop(cl);
}

// Output that cannot be written is a failure, also between the prints of
// an interval.
TEST(Vornstat, FullOutputFails)
{
    tu_cluster cl = tu_cluster_make(8);
    for (const strings &args : std::vector<strings>{{}, {"-l"}, {"--json"}, {"-i", "1"}}) {
        strings argv{"/bin/sh", "-c", "exec \"$@\" >/dev/full", "sh"};
        strings stat = command("vornstat", args);
        argv.insert(argv.end(), stat.begin(), stat.end());
        tu_result r = tu_run(argv);
        SCOPED_TRACE(args.empty() ? "summary" : args[0]);
        EXPECT_EQ(r.err, "vornstat: write error: " + std::string(strerror(ENOSPC)) + "\n");
        EXPECT_EQ(r.status, 1);
    }
    tu_cluster_drop(cl);
}

// -i prints again with a blank line between prints, reads the node list
// anew each time, and ends with status 0 on SIGINT after a whole print.
TEST(Vornstat, IntervalUntilInterrupted)
{
    tu_cluster cl = tu_cluster_make(8);
    vornctl_ok({"-S", "2", "-s", "down"});
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    strings argv = command("vornstat", {"-i", "0.05", "-w", "allnotup"});
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    std::string text;
    // Reads until text holds mark, or the end; false after 30 quiet seconds.
    auto read_until = [&](const std::string &mark) {
        while (mark.empty() || text.find(mark) == std::string::npos) {
            struct pollfd p = {out[0], POLLIN, 0};
            if (poll(&p, 1, 30000) != 1)
                return false;
            char buf[4096];
            ssize_t n = read(out[0], buf, sizeof buf);
            if (n <= 0)
                return mark.empty();
            text.append(buf, n);
        }
        return true;
    };
    const std::string one = "down    1  2\n", two = "down    2  2,5\n";
    EXPECT_TRUE(read_until(one + "\n" + one));
    vornctl_ok({"-S", "5", "-s", "down"});
    EXPECT_TRUE(read_until(two));
    kill(pid, SIGINT);
    EXPECT_TRUE(read_until(""));
    close(out[0]);
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "status " << st;
    // Whole prints only, each one of the two, a blank line between them.
    size_t at = 0;
    while (at < text.size()) {
        if (at > 0) {
            ASSERT_EQ(text.substr(at, 1), "\n") << text;
            at++;
        }
        if (text.compare(at, one.size(), one) == 0)
            at += one.size();
        else if (text.compare(at, two.size(), two) == 0)
            at += two.size();
        else
            FAIL() << "not a whole print at " << at << ":\n" << text;
    }
    tu_cluster_drop(cl);
}

} // namespace

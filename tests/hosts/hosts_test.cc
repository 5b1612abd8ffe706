// hosts_test.cc - vnsh and vornctl of the build tree on a cluster of hosts,
// private sshd daemons on loopback addresses: labels, input, gathering,
// exit status, a host without sshd, no remote process outliving -t or
// Ctrl-C, arguments and environment byte for byte, a node taken down.
#include "sshrig.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

typedef std::vector<std::string> strings;

// A cluster of the rig's hosts, with warm masters, VORN_CLUSTER pointing at
// it in this process.
struct hosts {
    tu_sshrig rig;
    std::string dir;
};

hosts hosts_make(int nodes, const std::vector<int> &without = {})
{
    hosts h;
    h.rig = tu_sshrig_start(nodes, without);
    char tmpl[] = "/tmp/vorn-hosts-XXXXXX";
    if (h.rig.dir.empty() || !mkdtemp(tmpl)) {
        tu_sshrig_stop(h.rig);
        return h;
    }
    h.dir = tmpl;
    setenv("VORN_CLUSTER", (h.dir + "/cluster").c_str(), 1);
    tu_result r = tu_vornemu(
        {"init", "--hosts", h.rig.hosts, "--ssh-config", h.rig.config, "--boot-delay", "0"});
    EXPECT_EQ(r.status, 0) << r.err;
    r = tu_vornemu({"connect"});
    EXPECT_EQ(r.status, without.empty() ? 0 : 1) << r.err;
    return h;
}

// Closes the masters and removes the cluster, then stops the daemons.
void hosts_drop(hosts &h)
{
    if (!h.dir.empty()) {
        EXPECT_EQ(tu_vornemu({"destroy"}).status, 0);
        tu_run({"/bin/rm", "-rf", h.dir});
    }
    tu_sshrig_stop(h.rig);
}

tu_result vnsh(const strings &args, const std::string &in = "", const strings &env = {})
{
    strings argv{tu_bin("vnsh")};
    argv.insert(argv.end(), args.begin(), args.end());
    return tu_run(argv, in, env);
}


// Prints the address on which the sshd serving this program was reached:
// the local address, on the rig's port (argv[1]), of a TCP socket that an
// ancestor holds.
const char where[] = R"(import os, socket, struct, sys
socks = {}
for line in open('/proc/net/tcp').readlines()[1:]:
    f = line.split()
    a, p = f[1].split(':')
    if int(p, 16) == int(sys.argv[1]):
        socks['socket:[' + f[9] + ']'] = socket.inet_ntoa(struct.pack('<I', int(a, 16)))
pid = os.getppid()
while pid > 1:
    for fd in os.listdir('/proc/%d/fd' % pid):
        link = os.readlink('/proc/%d/fd/%s' % (pid, fd))
        if link in socks:
            print(socks[link])
            sys.exit(0)
    pid = int(open('/proc/%d/stat' % pid).read().rsplit(')', 1)[1].split()[1])
print('none')
)";

const std::string rule = "----------------\n";
const std::string down3 = "vnsh: 3: not placed: Host is down\n";

// One cluster of 5 hosts whose node 3 vornctl took down.
TEST(Hosts, OutputInputStatus)
{
    hosts h = hosts_make(5);
    ASSERT_FALSE(h.dir.empty());
    tu_result down = tu_run({tu_bin("vornctl"), "-S", "3", "-s", "down"});
    ASSERT_EQ(down.status, 0) << down.err;
    std::string mib;
    for (unsigned i = 0; mib.size() < (1u << 20); i++)
        mib += static_cast<char>((i * 2654435761u) >> 24);
    tu_result local = tu_run({"/usr/bin/cksum"}, mib);
    ASSERT_EQ(local.status, 0);
    const struct {
        const char *name;
        strings args;
        std::string in, out, err;
        int status;
        bool err_exact; // else standard error only names the nodes
    } cases[] = {
        {"labels: each line from its node's host",
         {"-w", "allup", "/usr/bin/python3", "-c", where, std::to_string(h.rig.port)},
         "",
         "  0: 127.3.0.1\n  1: 127.3.0.2\n  2: 127.3.0.3\n  4: 127.3.0.5\n",
         "",
         0,
         true},
        {"standard input to every node",
         {"-w", "allup", "cksum"},
         mib,
         "  0: " + local.out + "  1: " + local.out + "  2: " + local.out + "  4: " + local.out,
         "",
         0,
         true},
        {"-b",
         {"-b", "-w", "allup", "sh", "-c", "if [ $VORN_NODE = 2 ]; then echo two; else echo x; fi"},
         "",
         rule + "0-1,4\n" + rule + "x\n" + rule + "2\n" + rule + "two\n",
         "",
         0,
         true},
        {"a node taken down", {"-w", "2-4", "echo", "x"}, "", "  2: x\n  4: x\n", down3, 1, true},
        {"exit 3",
         {"-w", "0-1", "sh", "-c", "exit 3"},
         "",
         "",
         "vnsh: 0-1: exited with status 3\n",
         3,
         true},
        {"SIGTERM", {"-w", "0-1", "sh", "-c", "kill -TERM $$"}, "", "", "vnsh: 0-1: ", 143, false},
        {"SIGKILL", {"-w", "0-1", "sh", "-c", "kill -KILL $$"}, "", "", "vnsh: 0-1: ", 137, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        tu_result r = vnsh(c.args, c.in);
        EXPECT_EQ(tu_sorted_lines(r.out), tu_sorted_lines(c.out));
        if (c.err_exact)
            EXPECT_EQ(r.err, c.err);
        else
            EXPECT_EQ(r.err.substr(0, c.err.size()), c.err) << r.err;
        EXPECT_EQ(r.status, c.status);
    }
    hosts_drop(h);
}

// A host that no sshd answers: its node is reported, the others run.
TEST(Hosts, HostWithoutSshd)
{
    hosts h = hosts_make(4, {2});
    ASSERT_FALSE(h.dir.empty());
    tu_result r = vnsh({"-w", "all", "echo", "x"});
    EXPECT_EQ(tu_sorted_lines(r.out), "  0: x\n  1: x\n  3: x\n");
    EXPECT_EQ(r.err, "vnsh: 2: not placed: Host is down\n");
    EXPECT_EQ(r.status, 1);
    hosts_drop(h);
}

// The processes with an argument that is marker: the rig's 'remote'
// programs are processes of this machine.
std::vector<pid_t> marked_pids(const std::string &marker)
{
    std::vector<pid_t> pids;
    DIR *d = opendir("/proc");
    while (struct dirent *e = d ? readdir(d) : nullptr) {
        pid_t pid = atoi(e->d_name);
        std::string cmd = tu_read_file(std::string("/proc/") + e->d_name + "/cmdline");
        if (pid > 0 && cmd.find(std::string(1, '\0') + marker + '\0') != std::string::npos)
            pids.push_back(pid);
    }
    if (d)
        closedir(d);
    return pids;
}

// Whether count processes come to have the marker within 10 s: processes
// that start, or that were killed and are being finished off.  Those that
// outlive a check for none are killed, so the test leaves nothing behind.
bool marked(const std::string &marker, size_t count)
{
    for (int i = 0; i < 500; i++) {
        if (marked_pids(marker).size() == count)
            return true;
        usleep(20000);
    }
    if (count == 0)
        for (pid_t pid : marked_pids(marker))
            kill(pid, SIGKILL);
    return false;
}

// vnsh -t 1 and Ctrl-C leave no remote process behind.  The programs sleep
// for a time no other process names (the marker).
TEST(Hosts, TimeoutAndInterruptLeaveNothing)
{
    hosts h = hosts_make(4);
    ASSERT_FALSE(h.dir.empty());
    std::string marker = "1000." + std::to_string(getpid());

    tu_result r = vnsh({"-t", "1", "-w", "all", "sh", "-c", "sleep " + marker + "1; echo late"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "vnsh: 0-3: timed out after 1 s\n");
    EXPECT_EQ(r.status, 143);
    EXPECT_TRUE(marked(marker + "1", 0));

    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    strings argv{tu_bin("vnsh"), "-w", "all",
                 "sh",           "-c", "echo ready; sleep " + marker + "2; echo late"};
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(out[1], 1);
        dup2(null, 2);
        std::vector<char *> a;
        for (std::string &s : argv)
            a.push_back(&s[0]);
        a.push_back(nullptr);
        execv(a[0], a.data());
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buf[4096];
    ssize_t n;
    while (std::count(text.begin(), text.end(), '\n') < 4 &&
           (n = read(out[0], buf, sizeof buf)) > 0)
        text.append(buf, n);
    EXPECT_EQ(tu_sorted_lines(text), "  0: ready\n  1: ready\n  2: ready\n  3: ready\n");
    EXPECT_TRUE(marked(marker + "2", 4));
    kill(pid, SIGINT);
    while ((n = read(out[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        text.append(buf, n > 0 ? n : 0);
    close(out[0]);
    int st;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    EXPECT_EQ(WIFEXITED(st) ? WEXITSTATUS(st) : -1, 128 + SIGINT);
    EXPECT_EQ(text.find("late"), std::string::npos);
    EXPECT_TRUE(marked(marker + "2", 0));
    hosts_drop(h);
}

// What the program finds: a digest of its arguments and of the
// environment entries named VORN_T..., each byte as given.
const char digest[] = R"(import hashlib, os, sys
args = b'\0'.join(os.fsencode(a) for a in sys.argv[1:])
env = b'\0'.join(sorted(k + b'=' + v for k, v in os.environb.items() if k.startswith(b'VORN_T')))
print(hashlib.sha256(args).hexdigest(), hashlib.sha256(env).hexdigest(), os.getcwd())
)";

// Arguments and environment arrive byte for byte, in the caller's directory.
TEST(Hosts, ArgumentsAndEnvironmentExact)
{
    hosts h = hosts_make(2);
    ASSERT_FALSE(h.dir.empty());
    const strings odd = {"two words",
                         " lead and trail ",
                         "",
                         "'",
                         "\"",
                         "a\nb",
                         "$HOME",
                         "`id`",
                         "\\",
                         "\\\\n",
                         "*",
                         "~",
                         "-n",
                         ";exit 1",
                         "\xff\xfe non-UTF-8",
                         "%s%n"};
    const strings env = {"VORN_T1=two words ' \" $HOME `id` \\ \n next", "VORN_T2=\xff\xfe",
                         "VORN_T3=", "VORN_T.dot=not a shell name"};
    strings prog{"/usr/bin/python3", "-c", digest};
    prog.insert(prog.end(), odd.begin(), odd.end());
    tu_result local = tu_run(prog, "", env);
    ASSERT_EQ(local.status, 0) << local.err;
    strings args{"-w", "all"};
    args.insert(args.end(), prog.begin(), prog.end());
    tu_result r = vnsh(args, "", env);
    EXPECT_EQ(tu_sorted_lines(r.out), "  0: " + local.out + "  1: " + local.out);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    hosts_drop(h);
}

} // namespace

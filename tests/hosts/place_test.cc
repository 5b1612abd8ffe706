// place_test.cc - the cluster library on a cluster of hosts: the host list
// at init, what a host node cannot do, and placements through private sshd
// daemons (file records opened on the host, the power command, sessions
// spread over a node's masters, a remote login's start-up output).
#include <vorn/vorn.h>

#include "sshrig.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

// A host cluster in a fresh directory, VORN_CLUSTER pointing at it.
struct HostCluster {
    std::string dir, path;
};

HostCluster host_cluster(const std::string &hosts, const std::vector<std::string> &extra = {})
{
    char tmpl[] = "/tmp/vorn-hosts-XXXXXX";
    HostCluster h{mkdtemp(tmpl), ""};
    h.path = h.dir + "/cluster";
    setenv("VORN_CLUSTER", h.path.c_str(), 1);
    tu_write_file(h.dir + "/hosts", hosts);
    std::vector<std::string> args = {"init", "--hosts", h.dir + "/hosts", "--boot-delay", "0"};
    args.insert(args.end(), extra.begin(), extra.end());
    tu_result r = tu_vornemu(args);
    EXPECT_EQ(r.status, 0) << r.err;
    return h;
}

void host_cluster_drop(HostCluster &h)
{
    tu_vornemu({"destroy"});
    tu_run({"/bin/rm", "-rf", h.dir});
}

struct io_redirect file_record(int fd, const std::string &name, int flags, int mode = 0644,
                               long offset = 0)
{
    struct io_redirect r;
    memset(&r, 0, sizeof r);
    r.fd = fd;
    r.type = IO_FILE;
    r.d.file.open_flags = flags;
    r.d.file.open_mode = mode;
    r.d.file.offset = offset;
    snprintf(r.d.file.name, sizeof r.d.file.name, "%s", name.c_str());
    return r;
}

// rexec in a child; its exit status (99: the call returned, with errno
// written to the pipe).
int rexec_child(int node, std::vector<struct io_redirect> io, std::vector<std::string> args,
                int *err)
{
    int p[2];
    if (pipe2(p, O_CLOEXEC) < 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        vorn_rexec_io(node, io.data(), (int)io.size(), argv[0], argv.data(), environ);
        int e = errno;
        (void)!write(p[1], &e, sizeof e);
        _exit(99);
    }
    close(p[1]);
    *err = 0;
    (void)!read(p[0], err, sizeof *err);
    close(p[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

std::string last_journal_result(const std::string &fn)
{
    std::string res = "none";
    for (auto &row : tu_journal())
        if (row.size() >= 6 && row[2] == fn)
            res = row[5];
    return res;
}

} // namespace

TEST(HostList, InitRefusesWhatIsNotAHost)
{
    char tmpl[] = "/tmp/vorn-hosts-XXXXXX";
    std::string dir = mkdtemp(tmpl), list = dir + "/hosts";
    setenv("VORN_CLUSTER", (dir + "/cluster").c_str(), 1);
    struct {
        std::string hosts;
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {"127.3.0.1\nnosuch.invalid\n", {}, "vornemu: " + list + ":2: nosuch.invalid: "},
        {"# only\n\n", {}, "vornemu: " + list + ": no hosts listed\n"},
        {"-oProxyCommand=x\n", {}, "vornemu: " + list + ":1: not a host: -oProxyCommand=x\n"},
        {"a b\n", {}, "vornemu: " + list + ":1: not a host: a b\n"},
        {"127.3.0.1\n", {"--nodes", "2"}, "vornemu: --nodes and --hosts do not go together"},
    };
    for (auto &c : cases) {
        tu_write_file(list, c.hosts);
        std::vector<std::string> args = {"init", "--hosts", list};
        args.insert(args.end(), c.args.begin(), c.args.end());
        tu_result r = tu_vornemu(args);
        EXPECT_EQ(r.status, 1) << c.hosts;
        EXPECT_EQ(r.err.substr(0, c.err.size()), c.err) << c.hosts;
        EXPECT_NE(access((dir + "/cluster").c_str(), F_OK), 0) << c.hosts;
    }
    tu_result r = tu_vornemu({"init", "--ssh-config", list});
    EXPECT_EQ(r.err, "vornemu: --ssh-config and --power-command need --hosts\n"
                     "Try 'vornemu -h' for more information.\n");
    tu_run({"/bin/rm", "-rf", dir});
}

TEST(HostList, NodesAreTheHostsInOrder)
{
    HostCluster h = host_cluster("# the rack\n127.3.0.5\n\n  localhost  # by name\nroot@127.3.0.7\n");
    EXPECT_EQ(vorn_numnodes(), 3);
    struct {
        int node;
        const char *addr;
    } nodes[] = {{0, "127.3.0.5"}, {1, "127.0.0.1"}, {2, "127.3.0.7"}};
    for (auto &n : nodes) {
        struct sockaddr_in a;
        int len = sizeof a;
        ASSERT_EQ(vorn_nodeaddr(n.node, &a, &len), 0);
        EXPECT_STREQ(inet_ntoa(a.sin_addr), n.addr);
        // (The master's own address is the master's, though a node has it.)
        EXPECT_EQ(vorn_nodenumber(&a, len), n.node == 1 ? -1 : n.node);
    }
    EXPECT_EQ(vorn_getnodebyname("localhost"), 1);
    EXPECT_EQ(vorn_getnodebyname("127.3.0.7"), 2);
    EXPECT_EQ(vorn_getnodebyname("2"), 2);
    tu_result show = tu_vornemu({"show"});
    EXPECT_NE(show.out.find("3 nodes, boot delay 0.000 s, private, hosts reached with ssh\n"),
              std::string::npos);
    EXPECT_EQ(tu_vornemu({"check"}).status, 0);
    host_cluster_drop(h);
}

// Without the kernel facility a host node cannot take a running process,
// nor change masters; what a host cannot carry fails before anything runs.
TEST(HostList, WhatAHostCannotDo)
{
    HostCluster h = host_cluster("127.3.0.5\n127.3.0.6\n");
    int nodes[] = {0, 1};
    struct io_redirect none[1];
    EXPECT_EQ(_vorn_rfork_io(1, nullptr, -1, 0), -1);
    EXPECT_EQ(errno, ENOSYS);
    EXPECT_EQ(_vorn_vrfork_io(nodes, 2, nullptr, -1, 0), -1);
    EXPECT_EQ(errno, ENOSYS);
    EXPECT_EQ(_vorn_move_io(0, none, 0, 0), -1);
    EXPECT_EQ(errno, ENOSYS);
    if (geteuid() == 0) {
        EXPECT_EQ(vorn_noderemaster(0), -1);
        EXPECT_EQ(errno, EOPNOTSUPP);
        EXPECT_EQ(vorn_nodeorphan(0), -1);
        EXPECT_EQ(errno, EOPNOTSUPP);
        EXPECT_EQ(vorn_nodereboot(0), -1); // no power command
        EXPECT_EQ(errno, EOPNOTSUPP);
    }
    struct io_redirect sock;
    memset(&sock, 0, sizeof sock);
    sock.fd = 3;
    sock.type = IO_SOCKET;
    sock.d.addr.sin_family = AF_INET;
    struct {
        struct io_redirect rec;
        int err;
    } records[] = {
        {sock, EOPNOTSUPP},                                          // a socket past stderr
        {file_record(1, "/tmp/x", O_RDONLY, 0, 4), EOPNOTSUPP},      // an offset
        {file_record(12, "/tmp/x", O_RDONLY), EOPNOTSUPP},           // a descriptor past 9
        {file_record(1, "/tmp/x", O_WRONLY | O_DIRECT), EOPNOTSUPP}, // a flag a shell lacks
    };
    for (auto &c : records) {
        int err;
        EXPECT_EQ(rexec_child(0, {c.rec}, {"/bin/true"}, &err), 99);
        EXPECT_EQ(err, c.err);
    }
    EXPECT_EQ(last_journal_result("vorn_rexec_io"), "EOPNOTSUPP");
    host_cluster_drop(h);
}

// A host that no sshd answers is down to a placement, which says so in the
// journal before anything runs.
TEST(HostList, UnreachableHostIsDown)
{
    tu_sshrig rig = tu_sshrig_start(2, {1});
    ASSERT_FALSE(rig.dir.empty());
    HostCluster h = host_cluster(tu_read_file(rig.hosts), {"--ssh-config", rig.config});
    int err;
    EXPECT_EQ(rexec_child(1, {}, {"/bin/true"}, &err), 99);
    EXPECT_EQ(err, EHOSTDOWN);
    EXPECT_EQ(last_journal_result("vorn_rexec_io"), "EHOSTDOWN");
    EXPECT_EQ(rexec_child(0, {}, {"/bin/sh", "-c", "exit 7"}, &err), 7);
    tu_result r = tu_vornemu({"connect"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.substr(0, 29), "vornemu: node 1 (127.3.0.2): ");
    host_cluster_drop(h);
    tu_sshrig_stop(rig);
}

struct HostPlace : ::testing::Test {
    tu_sshrig rig;
    HostCluster h;
    void SetUp() override
    {
        rig = tu_sshrig_start(2);
        ASSERT_FALSE(rig.dir.empty());
        h = host_cluster(tu_read_file(rig.hosts),
                         {"--ssh-config", rig.config, "--power-command", "echo >>" + rig.dir + "/power"});
    }
    void TearDown() override
    {
        host_cluster_drop(h);
        tu_sshrig_stop(rig);
    }
};

// File records are opened on the host, as the shell there can: created
// with the record's mode less the caller's umask, appended to, refused
// with the errno the host's shell found.
TEST_F(HostPlace, FileRecordsOpenOnTheHost)
{
    std::string in = h.dir + "/in", out = h.dir + "/out", log = h.dir + "/log";
    tu_write_file(in, "from a file\n");
    tu_write_file(log, "first\n");
    mode_t old = umask(027);
    int err;
    int st = rexec_child(0,
                         {file_record(0, in, O_RDONLY), file_record(1, out, O_WRONLY | O_CREAT | O_TRUNC, 0666),
                          file_record(2, log, O_WRONLY | O_APPEND)},
                         {"/bin/sh", "-c", "cat; echo to-log >&2; umask"}, &err);
    umask(old);
    EXPECT_EQ(st, 0);
    EXPECT_EQ(tu_read_file(out), "from a file\n0027\n");
    EXPECT_EQ(tu_read_file(log), "first\nto-log\n");
    struct stat sb;
    ASSERT_EQ(stat(out.c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 0777, 0640u);
    struct {
        struct io_redirect rec;
        int err;
    } refused[] = {
        {file_record(0, h.dir + "/missing", O_RDONLY), ENOENT},
        {file_record(1, out, O_WRONLY | O_CREAT | O_EXCL), EEXIST},
        {file_record(1, h.dir + "/no/dir/f", O_WRONLY | O_CREAT | O_TRUNC), ENOENT},
        {file_record(1, h.dir, O_WRONLY | O_CREAT | O_TRUNC), EISDIR},
    };
    for (auto &c : refused) {
        EXPECT_EQ(rexec_child(1, {c.rec}, {"/bin/true"}, &err), 99) << c.rec.d.file.name;
        EXPECT_EQ(err, c.err) << c.rec.d.file.name;
    }
    EXPECT_EQ(rexec_child(1, {}, {h.dir + "/no-program"}, &err), 99);
    EXPECT_EQ(err, ENOENT);
}

// A session whose master connection is lost ends with 255 and says so on
// its standard error, told apart from a program's own exit status of 255.
TEST_F(HostPlace, LostConnectionIsTold)
{
    std::string err = h.dir + "/err";
    // The program reads its input, which stays open here: it ends when
    // the host's end of its session does.
    int p[2], in[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(pipe(in), 0);
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 2);
        dup2(p[1], 1);
        dup2(in[0], 0);
        close(in[1]);
        char *argv[] = {(char *)"sh", (char *)"-c", (char *)"echo started; exec cat", nullptr};
        vorn_rexec_io(0, nullptr, -1, "/bin/sh", argv, environ);
        _exit(99);
    }
    close(p[1]);
    close(in[0]);
    char buf[16] = {0};
    ASSERT_EQ(read(p[0], buf, 8), 8);
    EXPECT_STREQ(buf, "started\n");
    // The master of node 0 is told to go; its sessions go with it.
    tu_result r = tu_run({"/usr/bin/ssh", "-F", rig.config, "-S", h.path + "/ssh/0.0", "-O", "exit",
                          "node0"});
    EXPECT_EQ(r.status, 0) << r.err;
    int st = 0;
    waitpid(pid, &st, 0);
    close(p[0]);
    close(in[1]);
    EXPECT_EQ(WIFEXITED(st) ? WEXITSTATUS(st) : -1, 255);
    EXPECT_EQ(tu_read_file(err), "vorn: node 0: the connection to its host was lost\n");
    int e;
    EXPECT_EQ(rexec_child(1, {}, {"/bin/sh", "-c", "exit 255"}, &e), 255);
}

// Reboot runs the power command on the host as root, then the node boots
// as on the emulated cluster.
TEST_F(HostPlace, PowerCommandRunsAsRoot)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "node control is root's";
    ASSERT_EQ(vorn_nodereboot(1), 0);
    ASSERT_EQ(vorn_nodehalt(0), 0);
    EXPECT_EQ(tu_read_file(rig.dir + "/power"), "reboot\nhalt\n");
    EXPECT_EQ(vorn_nodestatus(1), 4);
    EXPECT_EQ(vorn_nodestatus(0), 0);
}

// More sessions on a node than sshd lets one connection carry go through
// a second master, not a cold connection of their own.
TEST_F(HostPlace, SessionsSpreadOverMasters)
{
    // Each program waits until all twelve have started: twelve sessions
    // at once.
    std::string met = h.dir + "/met";
    mkdir(met.c_str(), 0755);
    std::string script = "touch " + met + "/$$; while [ $(ls " + met +
                         " | wc -l) -lt 12 ]; do sleep 0.05; done; echo met";
    tu_result r = tu_run({tu_bin("vnsh"), "-t", "60", "-w", "0,0,0,0,0,0,0,0,0,0,0,0", "sh", "-c",
                          script});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string all;
    for (int i = 0; i < 12; i++)
        all += "  0: met\n";
    EXPECT_EQ(r.out, all);
    std::string ctl = h.path + "/ssh/0.";
    struct stat sb;
    EXPECT_EQ(stat((ctl + "0").c_str(), &sb), 0);
    EXPECT_EQ(stat((ctl + "1").c_str(), &sb), 0);
}

// sshrig_test.cc - the test rig of private sshd daemons: nodes reached with
// its client configuration, host keys checked, a node left without sshd,
// nothing left behind.
#include "sshrig.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <sys/stat.h>

// 18 nodes (two daemons), node 1 without sshd.
TEST(SshRig, ServesNodesAndChecksHostKeys)
{
    tu_sshrig rig = tu_sshrig_start(18, {1});
    ASSERT_FALSE(rig.dir.empty());
    // Root's sessions have the rig's own start-up files, which say so on
    // both streams.
    std::string noise = geteuid() == 0 ? "rig-login-noise\n" : "";
    ASSERT_EQ(rig.daemons.size(), 2u);
    EXPECT_EQ(tu_read_file(rig.hosts).substr(0, 30), "127.3.0.1\n127.3.0.2\n127.3.0.3\n");
    const struct {
        const char *addr;
        int status;
        std::string out;
        const char *err; // the start of standard error
    } cases[] = {
        {"127.3.0.1", 0, noise + "ok\n", noise.c_str()},
        {"127.3.0.18", 0, noise + "ok\n", noise.c_str()},
        {"127.3.0.2", 255, "", "ssh: connect to host 127.3.0.2 port"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.addr);
        tu_result r = tu_run({"/usr/bin/ssh", "-F", rig.config, c.addr, "echo", "ok"});
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err.substr(0, strlen(c.err)), c.err);
    }
    // Host keys are checked: with no known host key, ssh refuses.
    tu_write_file(rig.known_hosts, "");
    tu_result r = tu_run({"/usr/bin/ssh", "-F", rig.config, "127.3.0.1", "echo", "ok"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("Host key verification failed."), std::string::npos) << r.err;

    std::vector<pid_t> daemons = rig.daemons;
    std::string dir = rig.dir;
    tu_sshrig_stop(rig);
    for (pid_t p : daemons)
        EXPECT_EQ(kill(p, 0), -1);
    struct stat st;
    EXPECT_EQ(stat(dir.c_str(), &st), -1);
}

// vornctl_test.cc - runs the installed vornctl against fresh emulated
// clusters and compares its output, exit status and library calls.
#include "testutil.h"

#include <vorn/vorn.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <string>
#include <vector>

namespace
{

typedef std::vector<std::string> strings;

// One run of vornctl: the faults armed before it, what it must print,
// its exit status, and the journal rows ("FUNCTION NODE ARGUMENT RESULT")
// that it must leave behind, in order.
struct ctl_case {
    const char *name;
    strings args;
    std::vector<strings> faults;
    std::string out;
    std::string err;
    int status;
    strings calls;
    std::string redirect = ""; // shell redirections for the run, such as ">&-"
};

const std::string usage_mark = "{USAGE}";

std::string usage_text()
{
    return tu_read_file(tu_source("tests/vornctl/expected/usage"));
}

// The library's text for an error, as vornctl prints it per node.
std::string lib_err(int err)
{
    return vorn_strerror(err);
}

// Replaces {USAGE} by the usage text and {ENAME} by the library's text for
// that error number.
std::string expand(std::string s)
{
    static const struct {
        const char *name;
        int err;
    } errs[] = {{"{EIO}", EIO},       {"{EINVAL}", EINVAL},       {"{EPERM}", EPERM},
                {"{EACCES}", EACCES}, {"{EHOSTDOWN}", EHOSTDOWN}, {"{EOPNOTSUPP}", EOPNOTSUPP}};
    size_t at;
    while ((at = s.find(usage_mark)) != std::string::npos)
        s.replace(at, usage_mark.size(), usage_text());
    for (const auto &e : errs) {
        std::string mark = e.name;
        while ((at = s.find(mark)) != std::string::npos)
            s.replace(at, mark.size(), lib_err(e.err));
    }
    return s;
}

// Runs the installed vornctl found through PATH, so that argv[0] is the
// name an administrator types.  prefix may run it through setpriv, from a
// copy of the installation in bin.
tu_result vornctl(const strings &args, const strings &prefix = {},
                  const std::string &bin = tu_staged("bin"))
{
    strings argv = prefix;
    argv.insert(argv.end(), {"/usr/bin/env", "PATH=" + bin, "vornctl"});
    argv.insert(argv.end(), args.begin(), args.end());
    return tu_run(argv);
}

// Journal rows from index from on, as "FUNCTION NODE ARGUMENT RESULT".
strings journal_calls(size_t from = 0)
{
    strings calls;
    std::vector<strings> rows = tu_journal();
    for (size_t i = from; i < rows.size(); i++) {
        const strings &r = rows[i];
        if (r.size() < 6) {
            ADD_FAILURE() << "short journal row";
            continue;
        }
        calls.push_back(r[2] + " " + r[3] + " " + r[4] + " " + r[5]);
    }
    return calls;
}

void run_cases(const std::vector<ctl_case> &cases, int nodes = 8)
{
    for (const ctl_case &c : cases) {
        SCOPED_TRACE(c.name);
        tu_cluster cl = tu_cluster_make(nodes);
        for (const strings &f : c.faults) {
            strings args{"fail"};
            args.insert(args.end(), f.begin(), f.end());
            tu_result fr = tu_vornemu(args);
            ASSERT_EQ(fr.status, 0) << fr.err;
        }
        size_t base = tu_journal().size();
        strings prefix;
        if (!c.redirect.empty())
            prefix = {"/bin/sh", "-c", "exec \"$@\" " + c.redirect, "sh"};
        tu_result r = vornctl(c.args, prefix);
        EXPECT_EQ(r.out, expand(c.out));
        EXPECT_EQ(r.err, expand(c.err));
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(journal_calls(base), c.calls);
        tu_cluster_drop(cl);
    }
}

// Options are handled in command-line order: node choices accumulate,
// actions run at once on the nodes chosen so far, -f changes only the
// actions after it.
TEST(Vornctl, ActionsRunInOrder)
{
    run_cases({
        {"reboot then halt on a grown list",
         {"-S", "3", "-R", "-S", "4", "-H"},
         {},
         "",
         "",
         0,
         {"vorn_nodereboot 3 - 0", "vorn_nodehalt 3 - 0", "vorn_nodehalt 4 - 0"}},
        {"-f after the reboot waits",
         {"-S", "3", "-R", "-f"},
         {},
         "",
         "",
         0,
         {"vorn_nodereboot 3 - 0"}},
        {"-f before the reboot does not wait",
         {"-f", "-S", "3", "-R"},
         {},
         "",
         "",
         0,
         {"vorn_nodereboot_async 3 - 0"}},
        {"-s reboot follows -f",
         {"-S", "3", "-s", "reboot", "-f", "-s", "reboot"},
         {},
         "",
         "",
         0,
         {"vorn_nodereboot 3 - 0", "vorn_nodereboot_async 3 - 0"}},
        {"-s halt and -s poweroff",
         {"-S", "2", "-s", "halt", "-S", "3", "-f", "-s", "poweroff"},
         {},
         "",
         "2: {EHOSTDOWN}\n",
         1,
         {"vorn_nodehalt 2 - 0", "vorn_nodepwroff_async 2 - EHOSTDOWN",
          "vorn_nodepwroff_async 3 - 0"}},
        {"power off, three spellings",
         {"-S", "1", "-P", "-S", "2", "--pwroff", "-S", "3", "--poweroff"},
         {},
         "",
         "1: {EHOSTDOWN}\n1: {EHOSTDOWN}\n2: {EHOSTDOWN}\n",
         1,
         {"vorn_nodepwroff 1 - 0", "vorn_nodepwroff 1 - EHOSTDOWN", "vorn_nodepwroff 2 - 0",
          "vorn_nodepwroff 1 - EHOSTDOWN", "vorn_nodepwroff 2 - EHOSTDOWN",
          "vorn_nodepwroff 3 - 0"}},
        {"-s pwroff with -f",
         {"-f", "-S", "1", "-s", "pwroff"},
         {},
         "",
         "",
         0,
         {"vorn_nodepwroff_async 1 - 0"}},
        {"halt with -f", {"-f", "-S", "2", "--halt"}, {}, "", "", 0, {"vorn_nodehalt_async 2 - 0"}},
        {"states by name",
         {"-S", "1", "-s", "down", "-s", "boot", "-s", "error", "-s", "unavailable", "-s", "up"},
         {},
         "",
         "",
         0,
         {"vorn_nodesetstatus 1 0 0", "vorn_nodesetstatus 1 1 0", "vorn_nodesetstatus 1 2 0",
          "vorn_nodesetstatus 1 3 0", "vorn_nodesetstatus 1 4 0"}},
        {"chroot, policy, orphan, remaster",
         {"-S", "2", "-r", "/srv/root", "-Y", "remaster", "-O", "--orphan", "x", "-E"},
         {},
         "",
         "",
         0,
         {"vorn_nodechroot 2 /srv/root 0", "vorn_nodepolicy 2 remaster 0", "vorn_nodeorphan 2 - 0",
          "vorn_nodeorphan 2 - 0", "vorn_noderemaster 2 - 0"}},
        {"long option prefixes",
         {"--sl", "4", "--chr", "/x", "--orph=y", "--pw"},
         {},
         "",
         "",
         0,
         {"vorn_nodechroot 4 /x 0", "vorn_nodeorphan 4 - 0", "vorn_nodepwroff 4 - 0"}},
        {"cache purges call the library",
         {"-S", "6", "--cache-purge-fail", "--cache-purge"},
         {},
         "",
         "",
         0,
         {"vorn_nodecachepurgefail 6 - 0", "vorn_nodecachepurgeok 6 - 0"}},
        {"node list expression",
         {"-S", "6-,master,1", "-m", "711"},
         {},
         "",
         "-1: {EOPNOTSUPP}\n",
         1,
         {"vorn_chmod 6 457 0", "vorn_chmod 7 457 0", "vorn_chmod -1 457 EOPNOTSUPP",
          "vorn_chmod 1 457 0"}},
        {"nodes handled twice",
         {"-S", "1,1", "-E"},
         {},
         "",
         "",
         0,
         {"vorn_noderemaster 1 - 0", "vorn_noderemaster 1 - 0"}},
    });
}

// Per-node failures are printed, the other nodes still run, and the exit
// status is 1 without a usage text.
TEST(Vornctl, PerNodeFailures)
{
    run_cases({
        {"fault on the middle node",
         {"-S", "1-3", "-R"},
         {{"vorn_nodereboot", "2", "EIO"}},
         "",
         "2: {EIO}\n",
         1,
         {"vorn_nodereboot 1 - 0", "vorn_nodereboot 2 - EIO", "vorn_nodereboot 3 - 0"}},
        {"chroot on the master is refused here",
         {"-M", "-r", "/tmp"},
         {},
         "",
         "-1: {EINVAL}\n",
         1,
         {}},
        {"chroot on master and node",
         {"-S", "master,0", "-r", "/d"},
         {},
         "",
         "-1: {EINVAL}\n",
         1,
         {"vorn_nodechroot 0 /d 0"}},
        {"control on the master",
         {"-M", "-R"},
         {},
         "",
         "-1: {EOPNOTSUPP}\n",
         1,
         {"vorn_nodereboot -1 - EOPNOTSUPP"}},
        {"policy judged by the library",
         {"-S", "5", "-Y", "Reboot"},
         {},
         "",
         "5: {EINVAL}\n",
         1,
         {"vorn_nodepolicy 5 Reboot EINVAL"}},
        {"node outside the cluster",
         {"-S", "9", "-H"},
         {},
         "",
         "9: {EINVAL}\n",
         1,
         {"vorn_nodehalt 9 - EINVAL"}},
        {"reboot of a halted node",
         {"-S", "3", "-H", "-R"},
         {},
         "",
         "3: {EHOSTDOWN}\n",
         1,
         {"vorn_nodehalt 3 - 0", "vorn_nodereboot 3 - EHOSTDOWN"}},
        {"failed r2c prints no success line",
         {"-S", "1-2", "-C", "30"},
         {{"vorn_set_r2c", "1", "EACCES"}},
         "2: Setting run to completion mode to 30 seconds.\n",
         "1: {EACCES}\n",
         1,
         {"vorn_set_r2c 1 30 EACCES", "vorn_set_r2c 2 30 0"}},
        {"cache purge fault",
         {"-S", "0-1", "--cache-purge"},
         {{"vorn_nodecachepurgeok", "any", "EIO"}},
         "",
         "0: {EIO}\n1: {EIO}\n",
         1,
         {"vorn_nodecachepurgeok 0 - EIO", "vorn_nodecachepurgeok 1 - EIO"}},
        {"-h after a failure exits 0",
         {"-S", "1", "-R", "-h"},
         {{"vorn_nodereboot", "1", "EIO"}},
         "{USAGE}",
         "1: {EIO}\n",
         0,
         {"vorn_nodereboot 1 - EIO"}},
    });
}

// Options that find no node, arguments left over, and the end-of-options
// rules.
TEST(Vornctl, EndOfOptions)
{
    run_cases({
        {"no argument at all", {}, {}, "{USAGE}", "", 1, {}},
        {"action without nodes", {"-R"}, {}, "{USAGE}", "", 1, {}},
        {"empty range", {"-S", "5-3", "-R"}, {}, "{USAGE}", "", 1, {}},
        {"cache purge without nodes", {"--cache-purge-fail"}, {}, "{USAGE}", "", 1, {}},
        {"usage once, later action still runs",
         {"-H", "-C", "on", "-S", "1", "-R"},
         {},
         "{USAGE}",
         "",
         1,
         {"vorn_nodereboot 1 - 0"}},
        {"no node and a failed node",
         {"-S", "5-3", "--cache-purge", "-S", "1", "-R"},
         {{"vorn_nodereboot", "1", "EIO"}},
         "{USAGE}",
         "1: {EIO}\n",
         1,
         {"vorn_nodereboot 1 - EIO"}},
        {"-f alone", {"-f"}, {}, "", "", 0, {}},
        {"-S alone", {"-S", "3"}, {}, "", "", 0, {}},
        {"argument left over",
         {"-S", "1", "-R", "extra", "more"},
         {},
         "",
         "Invalid argument: extra\n",
         1,
         {"vorn_nodereboot 1 - 0"}},
        {"argument left over wins over usage",
         {"stray", "-R"},
         {},
         "",
         "Invalid argument: stray\n",
         1,
         {}},
        {"argument after --", {"-S", "2", "--", "-R"}, {}, "", "Invalid argument: -R\n", 1, {}},
        {"-v after actions",
         {"-S", "3", "-E", "-v"},
         {},
         "vornctl version 5.0.0\n",
         "",
         0,
         {"vorn_noderemaster 3 - 0"}},
        {"-V", {"-V"}, {}, "vornctl version 5.0.0\n", "", 0, {}},
        {"--version prefix", {"--vers"}, {}, "vornctl version 5.0.0\n", "", 0, {}},
        {"--help", {"--help"}, {}, "{USAGE}", "", 0, {}},
        {"-h", {"-h", "-R"}, {}, "{USAGE}", "", 0, {}},
    });
}

// Output that cannot be written is a failure, on every way out; a closed
// standard descriptor never becomes a file that the library opens.
TEST(Vornctl, LostOutputFails)
{
    const std::string full = "vornctl: write error: " + std::string(strerror(ENOSPC)) + "\n";
    const std::string closed = "vornctl: write error: " + std::string(strerror(EBADF)) + "\n";
    const strings r2c = {"vorn_set_r2c 1 2147483647 0"};
    run_cases({
        {"-v, full device", {"-v"}, {}, "", full, 1, {}, ">/dev/full"},
        {"-v, output closed", {"-v"}, {}, "", closed, 1, {}, ">&-"},
        {"-h, output closed", {"-h"}, {}, "", closed, 1, {}, ">&-"},
        {"usage at the end, full device", {"-R"}, {}, "", full, 1, {}, ">/dev/full"},
        {"-C on, full device", {"-S", "1", "-C", "on"}, {}, "", full, 1, r2c, ">/dev/full"},
        {"-C on, output closed", {"-S", "1", "-C", "on"}, {}, "", closed, 1, r2c, ">&-"},
        {"-C on, input and output closed",
         {"-S", "1", "-C", "on"},
         {},
         "",
         closed,
         1,
         r2c,
         "<&- >&-"},
        {"failed node, output and error closed",
         {"-S", "9", "-R"},
         {},
         "",
         "",
         1,
         {"vorn_nodereboot 9 - EINVAL"},
         "<&- >&- 2>&-"},
        {"nothing to write, output closed", {"-S", "3"}, {}, "", "", 0, {}, ">&-"},
    });
}

// getopt_long's own messages (as glibc words them) followed by the usage
// text; actions read before the bad option stay done.
TEST(Vornctl, OptionErrors)
{
    run_cases({
        {"unknown short option", {"-x"}, {}, "{USAGE}", "vornctl: invalid option -- 'x'\n", 1, {}},
        {"--r2c is not an option",
         {"-S", "1", "--r2c", "on"},
         {},
         "{USAGE}",
         "vornctl: unrecognized option '--r2c'\n",
         1,
         {}},
        {"--orphan needs an argument",
         {"-S", "1", "--orphan"},
         {},
         "{USAGE}",
         "vornctl: option '--orphan' requires an argument\n",
         1,
         {}},
        {"-S needs an argument",
         {"-S"},
         {},
         "{USAGE}",
         "vornctl: option requires an argument -- 'S'\n",
         1,
         {}},
        {"ambiguous prefix",
         {"--re"},
         {},
         "{USAGE}",
         "vornctl: option '--re' is ambiguous; possibilities: '--remaster' '--reboot' "
         "'--reconnect'\n",
         1,
         {}},
        {"argument to a flag",
         {"--halt=now"},
         {},
         "{USAGE}",
         "vornctl: option '--halt' doesn't allow an argument\n",
         1,
         {}},
        {"actions before stay done",
         {"-S", "1", "-R", "-q", "-H"},
         {},
         "{USAGE}",
         "vornctl: invalid option -- 'q'\n",
         1,
         {"vorn_nodereboot 1 - 0"}},
    });
}

// Option arguments that are refused end the program at once with their
// own message; what ran before stays done.
TEST(Vornctl, RefusedArguments)
{
    const std::string r2c = " invalid option. Run to completion mode should be either 'on', a "
                            "numeric value > 0, or 'off'\n";
    run_cases({
        {"state names are case-sensitive",
         {"-S", "1", "-R", "-s", "UP", "-H"},
         {},
         "",
         "Invalid node state: UP\n",
         1,
         {"vorn_nodereboot 1 - 0"}},
        {"bad state",
         {"-S", "1", "-s", "rebooting"},
         {},
         "",
         "Invalid node state: rebooting\n",
         1,
         {}},
        {"-C 0", {"-S", "1", "-C", "0"}, {}, "", "0" + r2c, 1, {}},
        {"-C -5", {"-S", "1", "-C", "-5"}, {}, "", "-5" + r2c, 1, {}},
        {"-C abc", {"-S", "1", "-C", "abc"}, {}, "", "abc" + r2c, 1, {}},
        {"-C On", {"-S", "1", "-C", "On"}, {}, "", "On" + r2c, 1, {}},
        {"-C too large for an int",
         {"-S", "1", "-C", "2147483648"},
         {},
         "",
         "2147483648" + r2c,
         1,
         {}},
        {"-C far too large",
         {"-S", "1", "-C", "99999999999999999999999"},
         {},
         "",
         "99999999999999999999999" + r2c,
         1,
         {}},
        {"-m 9", {"-S", "1", "-m", "9"}, {}, "", "Invalid number: 9\n", 1, {}},
        {"-m 0x1ff", {"-S", "1", "-m", "0x1ff"}, {}, "", "Invalid number: 0x1ff\n", 1, {}},
        {"-m empty", {"-S", "1", "-m", ""}, {}, "", "Invalid number: \n", 1, {}},
        {"-m above int",
         {"-S", "1", "-m", "20000000000"},
         {},
         "",
         "Invalid number: 20000000000\n",
         1,
         {}},
        {"-m below int",
         {"-S", "1", "-m", "-20000000001"},
         {},
         "",
         "Invalid number: -20000000001\n",
         1,
         {}},
        {"-u 12x", {"-S", "1", "-u", "12x"}, {}, "", "Invalid user id: 12x\n", 1, {}},
        {"-g 7q", {"-S", "1", "-g", "7q"}, {}, "", "Invalid user id: 7q\n", 1, {}},
        {"-u negative", {"-S", "1", "-u", "-1"}, {}, "", "Invalid user id: -1\n", 1, {}},
        {"-g above uid range",
         {"-S", "1", "-g", "4294967296"},
         {},
         "",
         "Invalid user id: 4294967296\n",
         1,
         {}},
        {"-u far too large",
         {"-S", "1", "-u", "0x10000000000000000"},
         {},
         "",
         "Invalid user id: 0x10000000000000000\n",
         1,
         {}},
        {"-u empty", {"-S", "1", "-u", ""}, {}, "", "Invalid user id: \n", 1, {}},
        {"-u unknown name",
         {"-S", "1", "-u", "no-such-user-here"},
         {},
         "",
         "Invalid user id: no-such-user-here\n",
         1,
         {}},
        {"bad expression",
         {"-S", "1", "-R", "-S", "1-3x", "-H"},
         {},
         "",
         "",
         1,
         {"vorn_nodereboot 1 - 0"}},
        {"node table not fetched",
         {"-M", "-R"},
         {{"vorn_nodelist", "any", "EIO"}},
         "",
         "vorn_nodelist: " + std::string(strerror(EIO)) + "\n",
         1,
         {}},
    });
}

// Argument values as the library receives them.
TEST(Vornctl, ArgumentValues)
{
    run_cases({
        {"-C on",
         {"-S", "1", "-C", "on"},
         {},
         "1: Setting run to completion mode to on.\n",
         "",
         0,
         {"vorn_set_r2c 1 2147483647 0"}},
        {"-C off",
         {"-S", "1,2", "-C", "off"},
         {},
         "1: Setting run to completion mode to off.\n2: Setting run to completion mode to off.\n",
         "",
         0,
         {"vorn_set_r2c 1 0 0", "vorn_set_r2c 2 0 0"}},
        {"-C 30",
         {"-S", "1", "--completion", "30"},
         {},
         "1: Setting run to completion mode to 30 seconds.\n",
         "",
         0,
         {"vorn_set_r2c 1 30 0"}},
        {"-C 10s",
         {"-S", "1", "-C", "10s"},
         {},
         "1: Setting run to completion mode to 10 seconds.\n",
         "",
         0,
         {"vorn_set_r2c 1 10 0"}},
        {"-C largest number is on",
         {"-S", "1", "-C", "2147483647"},
         {},
         "1: Setting run to completion mode to on.\n",
         "",
         0,
         {"vorn_set_r2c 1 2147483647 0"}},
        {"-m 755", {"-S", "1", "-m", "755"}, {}, "", "", 0, {"vorn_chmod 1 493 0"}},
        {"-m largest int",
         {"-S", "1", "--mode", "17777777777"},
         {},
         "",
         "",
         0,
         {"vorn_chmod 1 2147483647 0"}},
        {"-u root", {"-S", "1", "-u", "root"}, {}, "", "", 0, {"vorn_chown 1 0 0"}},
        {"-u nobody", {"-S", "1", "--user", "nobody"}, {}, "", "", 0, {"vorn_chown 1 65534 0"}},
        {"-g nogroup", {"-S", "1", "-g", "nogroup"}, {}, "", "", 0, {"vorn_chgrp 1 65534 0"}},
        {"-u decimal, octal, hex",
         {"-S", "1", "-u", "10", "-u", "010", "-u", "0x10"},
         {},
         "",
         "",
         0,
         {"vorn_chown 1 10 0", "vorn_chown 1 8 0", "vorn_chown 1 16 0"}},
        {"-g largest id",
         {"-S", "1", "--group", "4294967295"},
         {},
         "",
         "",
         0,
         {"vorn_chgrp 1 -1 0"}},
        {"-Y text unchanged",
         {"-S", "5", "-Y", "halt"},
         {},
         "",
         "",
         0,
         {"vorn_nodepolicy 5 halt 0"}},
    });
}

// The program name in messages is argv[0], whatever it is.
TEST(Vornctl, ProgramNameIsArgv0)
{
    tu_cluster cl = tu_cluster_make(2);
    std::string path = tu_staged("bin/vornctl");
    tu_result r = tu_run({path, "-v"});
    EXPECT_EQ(r.out, path + " version 5.0.0\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    r = tu_run({path, "-y"});
    EXPECT_EQ(r.err, path + ": invalid option -- 'y'\n");
    std::string usage = usage_text();
    usage.replace(usage.find("vornctl"), 7, path);
    EXPECT_EQ(r.out, usage);
    EXPECT_EQ(r.status, 1);
    tu_cluster_drop(cl);
}

// The node table is read once per run: a later run sees the states that
// an earlier one set, a run does not see its own changes.
TEST(Vornctl, StateFiltersSeeEarlierRuns)
{
    tu_cluster cl = tu_cluster_make(8);
    tu_result r = vornctl({"-S", "2,5", "-s", "down"});
    ASSERT_EQ(r.status, 0) << r.err;
    size_t base = tu_journal().size();
    // alldown still finds the nodes that -s up has just brought up.
    r = vornctl({"-S", "allnotup", "-s", "up", "-S", "alldown", "-E"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(journal_calls(base), (strings{"vorn_nodesetstatus 2 4 0", "vorn_nodesetstatus 5 4 0",
                                            "vorn_noderemaster 2 - 0", "vorn_noderemaster 5 - 0",
                                            "vorn_noderemaster 2 - 0", "vorn_noderemaster 5 - 0"}));
    tu_cluster_drop(cl);
}

// A user other than root may not change nodes; every node reports EPERM.
TEST(Vornctl, NonRootIsRefused)
{
    tu_cluster cl = tu_cluster_make(4, {"--boot-delay", "0", "--shared"});
    tu_user_copy copy = tu_copy_for_user({"bin/vornctl"});
    size_t base = tu_journal().size();
    tu_result r = vornctl({"-S", "1,2", "-R", "-C", "on", "-S", "master", "-u", "nobody"},
                          {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"},
                          copy.dir + "/bin");
    tu_user_copy_drop(copy);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, expand("1: {EPERM}\n2: {EPERM}\n1: {EPERM}\n2: {EPERM}\n1: {EPERM}\n"
                            "2: {EPERM}\n-1: {EPERM}\n"));
    EXPECT_EQ(r.status, 1);
    std::vector<strings> rows = tu_journal();
    ASSERT_EQ(rows.size(), base + 7);
    for (size_t i = base; i < rows.size(); i++) {
        EXPECT_EQ(rows[i][1], "65534");
        EXPECT_EQ(rows[i][5], "EPERM");
    }
    tu_cluster_drop(cl);
}

// --reconnect: names resolved, ports, defaults, and refused names.
TEST(Vornctl, Reconnect)
{
    // 100 characters, resolves to nothing
    std::string name100 = std::string(60, 'a') + "." + std::string(31, 'a') + ".invalid";
    std::string name101 = "b" + name100;
    std::string bad = "no-such-host.invalid";
    // What the resolver says about names that do not resolve here.
    ASSERT_EQ(gethostbyname(bad.c_str()), nullptr);
    std::string unknown = hstrerror(h_errno);
    ASSERT_EQ(gethostbyname(name100.c_str()), nullptr);
    std::string unknown100 = hstrerror(h_errno);

    run_cases({
        {"master only",
         {"-S", "1", "--reconnect", "localhost"},
         {},
         "",
         "",
         0,
         {"vorn_nodereconnect 1 127.0.0.1:0,255.255.255.255:0 0"}},
        {"master port",
         {"-S", "1", "--reconnect", "localhost:932"},
         {},
         "",
         "",
         0,
         {"vorn_nodereconnect 1 127.0.0.1:932,255.255.255.255:0 0"}},
        {"both addresses and ports",
         {"-S", "1,2", "--reconn", "localhost:5000,127.0.0.9:6000"},
         {},
         "",
         "",
         0,
         {"vorn_nodereconnect 1 127.0.0.1:5000,127.0.0.9:6000 0",
          "vorn_nodereconnect 2 127.0.0.1:5000,127.0.0.9:6000 0"}},
        {"local without master port is ignored",
         {"-S", "1", "--reconnect", "localhost,127.0.0.9"},
         {},
         "",
         "",
         0,
         {"vorn_nodereconnect 1 127.0.0.1:0,255.255.255.255:0 0"}},
        {"local without its port",
         {"-S", "1", "--reconnect", "localhost:1,127.0.0.9"},
         {},
         "",
         "",
         0,
         {"vorn_nodereconnect 1 127.0.0.1:1,127.0.0.9:0 0"}},
        {"leading colon",
         {"-S", "1", "--reconnect", ":77"},
         {},
         "",
         "",
         0,
         {"vorn_nodereconnect 1 255.255.255.255:0,255.255.255.255:0 0"}},
        {"second reconnect overwrites",
         {"-S", "1", "--reconnect", "localhost:1,localhost:2", "--reconnect", "127.0.0.5"},
         {},
         "",
         "",
         0,
         {"vorn_nodereconnect 1 127.0.0.1:1,127.0.0.1:2 0",
          "vorn_nodereconnect 1 127.0.0.5:0,255.255.255.255:0 0"}},
        {"master does not resolve",
         {"-S", "1", "-R", "--reconnect", bad + ":1", "-H"},
         {},
         "",
         bad + ": " + unknown + "\nInvalid argument: " + bad + ":1\n",
         1,
         {"vorn_nodereboot 1 - 0"}},
        {"local does not resolve",
         {"-S", "1", "--reconnect", "localhost:1," + bad + ":2"},
         {},
         "",
         bad + ": " + unknown + "\nInvalid argument: localhost:1," + bad + ":2\n",
         1,
         {}},
        {"100-character name is read whole",
         {"-S", "1", "--reconnect", name100},
         {},
         "",
         name100 + ": " + unknown100 + "\nInvalid argument: " + name100 + "\n",
         1,
         {}},
        {"longer master name refused",
         {"-S", "1", "--reconnect", name101 + ":1"},
         {},
         "",
         "Invalid argument: " + name101 + ":1\n",
         1,
         {}},
        {"longer local name refused",
         {"-S", "1", "--reconnect", "localhost:1," + name101},
         {},
         "",
         "Invalid argument: localhost:1," + name101 + "\n",
         1,
         {}},
        {"no node", {"--reconnect", "localhost"}, {}, "{USAGE}", "", 1, {}},
        {"fault",
         {"-S", "3", "--reconnect", "localhost"},
         {{"vorn_nodereconnect", "3", "EIO"}},
         "",
         "3: {EIO}\n",
         1,
         {"vorn_nodereconnect 3 127.0.0.1:0,255.255.255.255:0 EIO"}},
    });
}

} // namespace

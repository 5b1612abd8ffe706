// vornlib_test.cc - runs the installed vornlib against fresh emulated
// clusters and compares its output, exit status and library calls.
#include "testutil.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace
{

typedef std::vector<std::string> strings;

// One run of vornlib: names already in the list, faults armed before the
// run, standard input, what it must print, its exit status, the journal
// rows ("FUNCTION ARGUMENT RESULT") it leaves and the list afterwards.
struct lib_case {
    const char *name;
    strings before;
    std::vector<strings> faults;
    strings args;
    std::string in;
    std::string out;
    std::string err;
    int status;
    strings calls;
    strings after;
    std::string redirect = ""; // shell redirections for the run, such as "</"
};

std::string usage_text()
{
    return tu_read_file(tu_source("tests/vornlib/expected/usage"));
}

// Runs the installed vornlib through PATH, so that argv[0] is "vornlib";
// prefix may run it through setpriv, from a copy of the installation in bin.
tu_result vornlib(const strings &args, const std::string &in = "", const strings &prefix = {},
                  const std::string &bin = tu_staged("bin"))
{
    strings argv = prefix;
    argv.insert(argv.end(), {"/usr/bin/env", "PATH=" + bin, "vornlib"});
    argv.insert(argv.end(), args.begin(), args.end());
    return tu_run(argv, in);
}

strings journal_calls(size_t from)
{
    strings calls;
    std::vector<strings> rows = tu_journal();
    for (size_t i = from; i < rows.size(); i++) {
        if (rows[i].size() < 6) {
            ADD_FAILURE() << "short journal row";
            continue;
        }
        calls.push_back(rows[i][2] + " " + rows[i][4] + " " + rows[i][5]);
    }
    return calls;
}

// The library list as vornlib -l prints it.
strings list_now()
{
    tu_result r = vornlib({"-l"});
    EXPECT_EQ(r.status, 0) << r.err;
    strings names;
    size_t start = 0, nl;
    while ((nl = r.out.find('\n', start)) != std::string::npos) {
        names.push_back(r.out.substr(start, nl - start));
        start = nl + 1;
    }
    return names;
}

std::string msg(const char *prefix, int err)
{
    return std::string(prefix) + ": " + strerror(err) + "\n";
}

void run_cases(const std::vector<lib_case> &cases)
{
    for (const lib_case &c : cases) {
        SCOPED_TRACE(c.name);
        tu_cluster cl = tu_cluster_make(2);
        if (!c.before.empty()) {
            strings args{"-a"};
            args.insert(args.end(), c.before.begin(), c.before.end());
            tu_result br = vornlib(args);
            ASSERT_EQ(br.status, 0) << br.err;
        }
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
        tu_result r = vornlib(c.args, c.in, prefix);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(journal_calls(base), c.calls);
        tu_vornemu({"heal"});
        EXPECT_EQ(list_now(), c.after);
        tu_cluster_drop(cl);
    }
}

TEST(Vornlib, ModesAndNames)
{
    run_cases({
        {"add in order",
         {},
         {},
         {"-a", "libc.so.6", "libm.so.6"},
         "",
         "",
         "",
         0,
         {"vorn_libadd libc.so.6 0", "vorn_libadd libm.so.6 0"},
         {"libc.so.6", "libm.so.6"}},
        {"last mode wins",
         {"x", "y"},
         {},
         {"-a", "-d", "x"},
         "",
         "",
         "",
         0,
         {"vorn_libdel x 0"},
         {"y"}},
        {"-l -c clears", {"x"}, {}, {"-l", "-c"}, "", "", "", 0, {"vorn_libclear - 0"}, {}},
        {"options after names",
         {},
         {},
         {"name", "-a"},
         "",
         "",
         "",
         0,
         {"vorn_libadd name 0"},
         {"name"}},
        {"-a without names", {"x"}, {}, {"-a"}, "", "", "", 0, {}, {"x"}},
        {"-d without names", {"x"}, {}, {"-d"}, "", "", "", 0, {}, {"x"}},
        {"list in order",
         {"b", "a", "c"},
         {},
         {"-l", "ignored"},
         "",
         "b\na\nc\n",
         "",
         0,
         {},
         {"b", "a", "c"}},
        {"list empty", {}, {}, {"-l"}, "", "", "", 0, {}, {}},
        {"no mode", {}, {}, {}, "", usage_text(), "", 0, {}, {}},
        {"no mode with names", {}, {}, {"x"}, "", usage_text(), "", 0, {}, {}},
        {"-h", {}, {}, {"-a", "-h", "x"}, "", usage_text(), "", 0, {}, {}},
        {"-v", {}, {}, {"-v", "-a", "x"}, "", "vornlib version 5.0.0\n", "", 0, {}, {}},
    });
}

TEST(Vornlib, NamesFromStandardInput)
{
    std::string longline(5000, 'L');
    std::string piece1(4095, 'L'), piece2(905, 'L');
    std::string exact(4095, 'E');
    run_cases({
        {"two lines, no final newline",
         {},
         {},
         {"-a", "-"},
         "alpha\nbeta",
         "",
         "",
         0,
         {"vorn_libadd alpha 0", "vorn_libadd beta 0"},
         {"alpha", "beta"}},
        {"arguments around stdin, second - finds nothing",
         {},
         {},
         {"-a", "x", "-", "y", "-"},
         "s1\ns2\n",
         "",
         "",
         0,
         {"vorn_libadd x 0", "vorn_libadd s1 0", "vorn_libadd s2 0", "vorn_libadd y 0"},
         {"x", "s1", "s2", "y"}},
        {"long line becomes several names",
         {},
         {},
         {"-a", "-"},
         longline + "\n",
         "",
         "",
         0,
         {"vorn_libadd " + piece1 + " 0", "vorn_libadd " + piece2 + " 0"},
         {piece1, piece2}},
        {"4095 characters and the newline alone",
         {},
         {},
         {"-a", "-"},
         exact + "\n",
         "",
         msg("vorn_libadd", EINVAL),
         1,
         {"vorn_libadd " + exact + " 0", "vorn_libadd - EINVAL"},
         {exact}},
        {"empty line is the empty name",
         {},
         {},
         {"-a", "-"},
         "a\n\nb\n",
         "",
         msg("vorn_libadd", EINVAL),
         1,
         {"vorn_libadd a 0", "vorn_libadd - EINVAL"},
         {"a"}},
        {"delete from stdin",
         {"a", "b", "c"},
         {},
         {"-d", "-"},
         "c\na\n",
         "",
         "",
         0,
         {"vorn_libdel c 0", "vorn_libdel a 0"},
         {"b"}},
    });
}

// Every row of the failure table.
TEST(Vornlib, Failures)
{
    run_cases({
        {"unknown option",
         {"x"},
         {},
         {"-a", "-q", "y"},
         "",
         "",
         "vornlib: invalid option -- 'q'\n",
         1,
         {},
         {"x"}},
        {"-c with names",
         {"x"},
         {},
         {"-c", "x"},
         "",
         "",
         "No library names allowed with -c\n",
         1,
         {},
         {"x"}},
        {"clear fails",
         {"x"},
         {{"vorn_libclear", "any", "EIO"}},
         {"-c"},
         "",
         "",
         msg("MSNP_LIB_CLEAR", EIO),
         1,
         {"vorn_libclear - EIO"},
         {"x"}},
        {"add stops at the first failure",
         {"bad"},
         {},
         {"-a", "good", "bad", "good2"},
         "",
         "",
         msg("vorn_libadd", EEXIST),
         1,
         {"vorn_libadd good 0", "vorn_libadd bad EEXIST"},
         {"bad", "good"}},
        {"delete stops at the first failure",
         {"a", "b"},
         {},
         {"-d", "a", "missing", "b"},
         "",
         "",
         msg("vorn_libdel", ENOENT),
         1,
         {"vorn_libdel a 0", "vorn_libdel missing ENOENT"},
         {"b"}},
        {"list fails",
         {"x"},
         {{"vorn_liblist", "any", "EIO"}},
         {"-l"},
         "",
         "",
         msg("vorn_liblist", EIO),
         1,
         {},
         {"x"}},
    });
}

// Output that cannot be written and input that cannot be read are
// failures; a closed standard descriptor never becomes a file that the
// library opens.
TEST(Vornlib, LostInputAndOutputFail)
{
    const std::string full = "vornlib: write error: " + std::string(strerror(ENOSPC)) + "\n";
    const std::string closed = "vornlib: write error: " + std::string(strerror(EBADF)) + "\n";
    run_cases({
        {"-l, full device", {"x"}, {}, {"-l"}, "", "", full, 1, {}, {"x"}, ">/dev/full"},
        {"-l, output closed", {"x"}, {}, {"-l"}, "", "", closed, 1, {}, {"x"}, ">&-"},
        {"-l, input and output closed", {"x"}, {}, {"-l"}, "", "", closed, 1, {}, {"x"}, "<&- >&-"},
        {"-l of nothing, output closed", {}, {}, {"-l"}, "", "", "", 0, {}, {}, ">&-"},
        {"-v, full device", {}, {}, {"-v"}, "", "", full, 1, {}, {}, ">/dev/full"},
        {"-h, output closed", {}, {}, {"-h"}, "", "", closed, 1, {}, {}, ">&-"},
        {"read error on standard input",
         {},
         {},
         {"-a", "x", "-", "y"},
         "",
         "",
         "fgets: " + std::string(strerror(EISDIR)) + "\n",
         1,
         {"vorn_libadd x 0"},
         {"x"},
         "</"},
        {"standard input closed",
         {},
         {},
         {"-d", "-"},
         "",
         "",
         "fgets: " + std::string(strerror(EBADF)) + "\n",
         1,
         {},
         {},
         "<&-"},
        {"a NUL in a name is refused, not cut",
         {},
         {},
         {"-a", "-"},
         std::string("a\nb\0c\nd\n", 8),
         "",
         "vornlib: a name on standard input holds a NUL byte\n",
         1,
         {"vorn_libadd a 0"},
         {"a"}},
    });
}

TEST(Vornlib, NonRootIsRefused)
{
    tu_cluster cl = tu_cluster_make(2, {"--boot-delay", "0", "--shared"});
    const strings nobody{"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    tu_user_copy copy = tu_copy_for_user({"bin/vornlib"});
    const std::string bin = copy.dir + "/bin";
    tu_result r = vornlib({"-a", "x"}, "", nobody, bin);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, msg("vorn_libadd", EPERM));
    EXPECT_EQ(r.status, 1);
    r = vornlib({"-c"}, "", nobody, bin);
    tu_user_copy_drop(copy);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, msg("MSNP_LIB_CLEAR", EPERM));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(list_now(), strings{});
    tu_cluster_drop(cl);
}

TEST(Vornlib, ProgramNameIsArgv0)
{
    std::string path = tu_staged("bin/vornlib");
    tu_result r = tu_run({path, "-v"});
    EXPECT_EQ(r.out, path + " version 5.0.0\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    r = tu_run({path});
    std::string usage = usage_text();
    for (size_t at = 0; (at = usage.find("vornlib ", at)) != std::string::npos; at += path.size())
        usage.replace(at, 7, path);
    EXPECT_EQ(r.out, usage);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

} // namespace
